-- Tokens taken away, so that every process sharing the database closes their push channels.
CREATE TABLE token_revocations (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    token_hash TEXT NOT NULL
);
