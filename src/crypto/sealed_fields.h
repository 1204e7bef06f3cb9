#pragma once

#include "src/clouddb/cloud_types.h"
#include "src/crypto/key_ring.h"

#include <QSet>

namespace sonavert::crypto {

/// Which record fields say what is played, and turning a record's copies of them into sealed
/// values and back. Everything else (names, types, device ids, timestamps, flags) stays in
/// clear: the server routes and expires records by it.
class SealedFields {
public:
    /// Whether `fieldName` of a record of `recordType` is kept sealed in the cloud.
    static bool isSealed(const QString& recordType, const QString& fieldName);

    /// The record with its private string fields sealed under `key`.
    static Result<clouddb::CloudRecord> seal(clouddb::CloudRecord record, const AccountKey& key);
    /// The save of a device that does not hold the account key yet: what it may leave out
    /// (the song of its presence) is left out, and removed from the server on a changed-keys
    /// save; a record that cannot go without its private field (a handoff command) is refused
    /// with NoKey, so nothing private ever reaches the server in clear.
    static Result<clouddb::RecordSave> withoutKey(clouddb::RecordSave save,
                                                  clouddb::SavePolicy policy);
    /// The record with its sealed fields opened. A field in clear is kept as it is (a device
    /// that does not seal yet wrote it); a sealed field that does not open (no ring, another
    /// key, tampered) is dropped, with an event line, so no service ever reads ciphertext or
    /// garbage. With `reported`, a field already reported there (same record, field, key and
    /// reason) is dropped quietly: a presence fetched every two seconds says so once.
    /// `sawUnknownKey` is set when a field named a key the ring lacks (a rotated key that has
    /// not reached this device yet).
    static clouddb::CloudRecord open(clouddb::CloudRecord record, const KeyRing* ring,
                                     QSet<QString>* reported = nullptr,
                                     bool* sawUnknownKey = nullptr);
    static clouddb::CloudRecord open(clouddb::CloudRecord record, const KeyRing& ring) {
        return open(std::move(record), &ring);
    }
};

} // namespace sonavert::crypto
