#pragma once

#include "src/clouddb/cloud_types.h"
#include "src/crypto/key_ring.h"

#include <QSet>

namespace sonavert::crypto {

/// Which record fields say what is played (or prove who asks), and turning a record's copies
/// of them into sealed values and back. Everything else (names, types, device ids, timestamps,
/// flags) stays in clear: the server routes and expires records by it. A command's sealed
/// fields are bound to its id, sender, target and time, and open only under the current key.
class SealedFields {
public:
    /// Whether `fieldName` of a record of `recordType` is kept sealed in the cloud.
    static bool isSealed(const QString& recordType, const QString& fieldName);

    /// The record with its private fields sealed under `key`; InClear when one is not text
    /// (nothing private leaves unsealed).
    static Result<clouddb::CloudRecord> seal(clouddb::CloudRecord record, const AccountKey& key);
    /// The save of a device that does not hold the account key yet: what it may leave out
    /// (the song of its presence) is left out, and removed from the server on a changed-keys
    /// save; a record that cannot go without its private field (any command) is refused
    /// with NoKey, so nothing private ever reaches the server in clear.
    static Result<clouddb::RecordSave> withoutKey(clouddb::RecordSave save,
                                                  clouddb::SavePolicy policy);
    /// The record with its sealed fields opened. With a ring, a private field that does not
    /// open (in clear, another key, a command under an earlier key, tampered, moved) is
    /// dropped, with an event line, so no service ever reads ciphertext, garbage or what the
    /// server made up. Without one (a device not verified yet) sealed fields are dropped and
    /// clear ones kept: it reads nothing private either way. With `reported`, a field already
    /// reported there (same record, field, key and reason) is dropped quietly: a presence
    /// fetched every two seconds says so once. `sawUnknownKey` is set when a field named a key
    /// the ring lacks (a rotated key that has not reached this device yet).
    static clouddb::CloudRecord open(clouddb::CloudRecord record, const KeyRing* ring,
                                     QSet<QString>* reported = nullptr,
                                     bool* sawUnknownKey = nullptr);
    static clouddb::CloudRecord open(clouddb::CloudRecord record, const KeyRing& ring) {
        return open(std::move(record), &ring);
    }
};

} // namespace sonavert::crypto
