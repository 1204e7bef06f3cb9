#pragma once

#include "src/clouddb/cloud_database.h"

#include <QByteArray>
#include <QList>
#include <memory>
#include <optional>

namespace sonavert {

/// What a computer publishes of itself in the keys zone: which key it holds and its long-lived
/// public key. The server may rewrite any of it; nothing here is believed for trust, only shown.
struct DeviceKeysEntry {
    QString deviceID;
    QString name;
    QString keyID; ///< the current key it says it holds; empty while it waits for one
    QByteArray boxKey;
    QByteArray boxKeyTag; ///< its vouching under the key it holds, read only to upgrade
    std::optional<Timestamp> modified;
};

/// One verification, as its record holds it at one moment: each side adds its part.
struct VerificationEntry {
    QString targetID;
    QString verifierID;
    QString verifierName;
    QByteArray verificationID;
    QByteArray commitment;   ///< the verifier's, to its key of this exchange
    QByteArray answeredID;   ///< the verification the target's key answers
    QByteArray targetKey;    ///< the target's key of this exchange
    QByteArray verifierKey;  ///< revealed once the target answered
    QByteArray deviceKeyBox; ///< the target's long-lived key, boxed to the verifier
    QByteArray boxedKeys;    ///< the keys, boxed to the target once the user confirmed
};

/// A key share boxed from one computer to another (a rotation, or the computers a verifier
/// has just pinned), waiting for its recipient.
struct ShareEntry {
    QString fromID;
    QByteArray box;
};

/// The account's keys zone: the one place that names its records and fields, reads them and
/// writes them. Nothing in it is secret: public keys, a commitment, boxes for one computer.
class KeyRecords {
public:
    static inline const QString kZone = QStringLiteral("SonavertKeysZone");
    static inline const QString kDeviceRecordType = QStringLiteral("DeviceKeys");
    static inline const QString kVerificationRecordType = QStringLiteral("KeyVerification");
    static inline const QString kShareRecordType = QStringLiteral("KeyShare");
    static inline const QString kFirstKeyRecordType = QStringLiteral("FirstKey");

    explicit KeyRecords(std::shared_ptr<clouddb::CloudDatabase> database);

    QCoro::Task<Status> ensureZone();

    QCoro::Task<Result<QList<DeviceKeysEntry>>> devices();
    QCoro::Task<Status> publish(DeviceKeysEntry entry);
    /// Best effort, like every removal here: a record left behind is only listed.
    QCoro::Task<> removeDevice(QString deviceID);

    /// The verification of `targetID` under way, if any.
    QCoro::Task<Result<std::optional<VerificationEntry>>> verification(QString targetID);
    /// A new verification of `entry.targetID`, replacing whatever was there.
    QCoro::Task<Status> startVerification(VerificationEntry entry);
    /// Adds the fields `part` carries (its non-empty byte fields) to the verification of
    /// `targetID`, leaving the others as they are.
    QCoro::Task<Status> addToVerification(QString targetID, VerificationEntry part);
    /// Best effort: a verification left behind does no harm, the next request replaces it.
    QCoro::Task<> endVerification(QString targetID);

    QCoro::Task<Status> sendShare(QString toID, QString fromID, QByteArray box);
    /// The shares waiting for `toID` from each of `fromIDs`.
    QCoro::Task<Result<QList<ShareEntry>>> sharesFor(QString toID, QStringList fromIDs);
    QCoro::Task<> removeShare(QString toID, QString fromID);

    /// Claims the making of the account's first key for `deviceID`: of several computers that
    /// try at once, the server lets exactly one write the claim. True when `deviceID` holds it
    /// (now, or since an earlier try of its own).
    QCoro::Task<Result<bool>> claimFirstKey(QString deviceID);
    /// Takes the claim for `deviceID` whoever held it: a computer starting over.
    QCoro::Task<Status> takeFirstKeyClaim(QString deviceID);

private:
    QCoro::Task<Status> save(clouddb::CloudRecord record, clouddb::SavePolicy policy);
    QCoro::Task<Result<std::optional<clouddb::CloudRecord>>> fetch(QString recordName);
    QCoro::Task<> remove(QString recordName);

    std::shared_ptr<clouddb::CloudDatabase> m_database;
};

} // namespace sonavert
