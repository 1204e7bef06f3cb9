-- Tokens taken away, so that every instance sharing the database closes their push channels.
CREATE TABLE token_revocations (
    id BIGSERIAL PRIMARY KEY,
    token_hash TEXT NOT NULL
);
