-- Server-wide settings that are chosen once (the change-token secret).
CREATE TABLE server_meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);

CREATE TABLE accounts (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    user_record_name TEXT NOT NULL UNIQUE,
    last_notification_id INTEGER NOT NULL DEFAULT 0,
    created_ms INTEGER NOT NULL
);

-- Only the SHA-256 of a token is kept; the token itself is shown once, when issued.
CREATE TABLE account_tokens (
    token_hash TEXT PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    created_ms INTEGER NOT NULL
);

-- AUTOINCREMENT so a recreated zone never gets the id of an earlier one.
CREATE TABLE zones (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    container TEXT NOT NULL,
    environment TEXT NOT NULL,
    name TEXT NOT NULL,
    is_live INTEGER NOT NULL,
    deleted_by_user INTEGER NOT NULL DEFAULT 0,
    last_sequence INTEGER NOT NULL DEFAULT 0,
    compacted_through INTEGER NOT NULL DEFAULT 0,
    UNIQUE (account_id, container, environment, name)
);

-- One row per record name; a deleted record stays as a tombstone until compaction.
CREATE TABLE records (
    zone_id INTEGER NOT NULL REFERENCES zones(id),
    record_name TEXT NOT NULL,
    record_type TEXT NOT NULL,
    fields TEXT NOT NULL,
    created_ms INTEGER NOT NULL,
    modified_ms INTEGER NOT NULL,
    sequence INTEGER NOT NULL,
    is_deleted INTEGER NOT NULL,
    PRIMARY KEY (zone_id, record_name)
);
CREATE INDEX records_by_sequence ON records (zone_id, sequence);
CREATE INDEX records_tombstones ON records (is_deleted, modified_ms);

CREATE TABLE subscriptions (
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    container TEXT NOT NULL,
    environment TEXT NOT NULL,
    subscription_id TEXT NOT NULL,
    body TEXT NOT NULL,
    PRIMARY KEY (account_id, container, environment, subscription_id)
);

CREATE TABLE notifications (
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    id INTEGER NOT NULL,
    container TEXT NOT NULL,
    environment TEXT NOT NULL,
    body TEXT NOT NULL,
    created_ms INTEGER NOT NULL,
    PRIMARY KEY (account_id, id)
);
