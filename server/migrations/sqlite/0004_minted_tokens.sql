-- Which token asked for each pairing code, and which token each claimed code minted, so that
-- revoking a device's token also revokes the devices it let in.
ALTER TABLE account_tokens ADD COLUMN minted_by TEXT;
CREATE INDEX account_tokens_by_minter ON account_tokens (minted_by) WHERE minted_by IS NOT NULL;
ALTER TABLE pairing_codes ADD COLUMN created_by TEXT;
-- Codes are now stored as an HMAC under the server's secret; those stored as a plain SHA-256
-- could never be found again, and live ten minutes at most anyway.
DELETE FROM pairing_codes;
