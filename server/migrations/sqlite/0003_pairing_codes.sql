-- Each device's token carries the device's name, so a lost laptop can be found and revoked.
-- Tokens issued before names existed keep the empty name.
ALTER TABLE account_tokens ADD COLUMN name TEXT NOT NULL DEFAULT '';
CREATE UNIQUE INDEX account_tokens_by_name ON account_tokens (account_id, name) WHERE name <> '';

-- One-time codes that let a new device fetch a token of its own. Only the SHA-256 is kept.
CREATE TABLE pairing_codes (
    code_hash TEXT PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    expires_ms INTEGER NOT NULL
);
