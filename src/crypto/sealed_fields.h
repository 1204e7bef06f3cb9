#pragma once

#include "src/clouddb/cloud_types.h"
#include "src/crypto/key_ring.h"

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
    /// The record with its sealed fields opened. A field in clear is kept as it is (a device
    /// that does not seal yet wrote it); a sealed field that does not open is dropped, with an
    /// event line, so no service ever reads ciphertext or garbage.
    static clouddb::CloudRecord open(clouddb::CloudRecord record, const KeyRing& ring);
};

} // namespace sonavert::crypto
