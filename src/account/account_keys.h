#pragma once

#include "src/account/account_key_store.h"
#include "src/clouddb/cloud_database.h"
#include "src/crypto/device_key_pair.h"
#include "src/runtime/clock.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <map>
#include <stop_token>

namespace sonavert {

/// One computer of the account as the keys zone lists it.
struct KeyedDevice {
    QString deviceID;
    QString name;
    bool hasKey = false; ///< it holds the account's key (the current one, as far as it says)
    bool isThisDevice = false;
    std::optional<Timestamp> lastPublished; ///< when it last said what it holds (server time)
    QByteArray boxKey;    ///< its long-lived public key, which a rotated key is boxed to
    QByteArray boxKeyTag; ///< its vouching for that key under the account key it held
};

/// A verification of this device that another one started: who asks, and the code to compare
/// once both keys are known. `problem` says why it stopped, when it did.
struct IncomingVerification {
    QString verifierName;
    QString code;
    QString problem;
};

/// The account key of this device: kept in its secret store, created by the account's first
/// device, and shared with a new device only after the user has seen the same code on both.
///
/// The exchange runs through one record per device being verified, in a zone of its own, so
/// the server carries it like any other record and learns nothing it could use:
///  1. the verifier publishes a commitment to a fresh key of its own;
///  2. the new device answers with a fresh public key;
///  3. the verifier reveals its key; both show a code made from the two keys;
///  4. when the user confirms on the verifier that the codes match, it boxes the keys from its
///     key to the new device's;
///  5. the new device opens them only once its user has confirmed the code there too.
/// Because the verifier commits before it sees the other key, and the new device sends its
/// key before it sees the verifier's, a server that swaps keys cannot pick them so that the
/// codes agree: they differ, and the user's confirmation fails. The confirmation on the new
/// device keeps a server from handing it keys of the server's own making.
class AccountKeys : public QObject {
    Q_OBJECT
public:
    enum class State {
        SignedOut,  ///< no account
        Checking,   ///< reading the store and the zone
        Verified,   ///< holds the key
        Unverified, ///< signed in, waiting for another of the account's devices to share it
    };
    Q_ENUM(State)

    static inline const QString kZone = QStringLiteral("SonavertKeysZone");
    static inline const QString kDeviceRecordType = QStringLiteral("DeviceKeys");
    static inline const QString kVerificationRecordType = QStringLiteral("KeyVerification");
    static inline const QString kKeyUpdateRecordType = QStringLiteral("KeyUpdate");

    struct Dependencies {
        std::shared_ptr<clouddb::CloudDatabase> database; ///< the server's, not the sealing one
        std::shared_ptr<AccountKeyStore> store;
        std::shared_ptr<Clock> clock;
    };

    AccountKeys(Dependencies dependencies, QString deviceID, QString deviceName,
                QObject* parent = nullptr);
    ~AccountKeys() override;

    State state() const { return m_state; }
    const std::optional<crypto::KeyRing>& keyRing() const { return m_ring; }
    const std::optional<IncomingVerification>& incoming() const { return m_incoming; }

    /// The ring kept for `account` (see accountKeyName), read before anything fetches sealed
    /// records so that a song queued for this device while it was off opens at once.
    QCoro::Task<> loadStored(QString account);
    /// A key given for this run (as a token can be): used for every account, never stored.
    void useForThisRun(crypto::KeyRing ring);
    /// Follows the account: with one, publishes this device, creates the key if no device of
    /// the account holds one, and otherwise waits for a verification; without, forgets.
    void setAccount(std::optional<QString> account);

    /// The account's computers and which of them hold the key.
    QCoro::Task<Result<QList<KeyedDevice>>> devices();
    /// The ids of the account's computers now: what the computer an invitation brings is
    /// told apart by.
    QCoro::Task<Result<QSet<QString>>> deviceIDs();
    /// The computer that signs in with an invitation made while the account had `known`: the
    /// first other one that shows up without the key. Looked for every kJoinPollInterval until
    /// `expires` (the invitation's end, wall time), `stop`, or the account changes, which end
    /// it with an error.
    QCoro::Task<Result<KeyedDevice>> awaitJoiningComputer(QSet<QString> known, QDateTime expires,
                                                          std::stop_token stop);
    /// Starts verifying the computer called `name`; the code to compare with the one it
    /// shows, once it has answered.
    QCoro::Task<Result<QString>> beginVerification(QString name);
    /// The user saw `code` on the other computer `name`: when it is the code this side
    /// computed, the verifier boxes the keys to that computer, and the new device accepts the
    /// keys that computer boxes; otherwise nothing is shared and the exchange ends.
    QCoro::Task<Result<void>> confirmVerification(QString name, QString code);

    /// For an account whose key no running computer holds any more (the only one that had it
    /// was reinstalled or lost): makes a new key here. Songs sealed under the old key stay
    /// unreadable here, and computers that still hold the old one must be verified again.
    QCoro::Task<Result<void>> startOver();

    /// Takes the computer called `name` out of the account's keys: a new key is made here and
    /// boxed to every other computer that holds the key (to the long-lived key each vouched
    /// for under it), the old ones stay in every ring so what was sealed before stays
    /// readable, and `name` never gets the new one. Answers how many computers it was sent to.
    /// Revoking the computer's token on the server is the other half of removing it.
    QCoro::Task<Result<int>> removeComputer(QString name);
    /// A payload named a key this device does not hold: look for a rotated key at once.
    void checkForNewKeyNow();

    /// How long a verifier waits for the other computer's key, and how often it looks.
    static constexpr Duration kAnswerTimeout = 60s;
    static constexpr Duration kPollInterval = 1s;
    /// How often a device without the key looks for a verification of itself.
    static constexpr Duration kWaitInterval = 2s;
    /// How often a device that holds the key looks for a rotated one, unless a payload under
    /// an unknown key sends it at once.
    static constexpr Duration kUpdateInterval = 30s;
    /// How often a computer that invited another looks for it in the account's keys.
    static constexpr Duration kJoinPollInterval = 2s;

Q_SIGNALS:
    void stateChanged();
    void keyRingChanged();
    void incomingChanged();

private:
    struct Outgoing {
        QString targetID;
        QString targetName;
        QByteArray verificationID;
        QByteArray targetKey;
        QString code;
        crypto::DeviceKeyPair ownKey; ///< made for this exchange alone
    };
    struct Pending {
        QByteArray verificationID;
        QByteArray commitment;
        crypto::DeviceKeyPair pair;
        QByteArray verifierKey; ///< empty until revealed and checked
        bool isConfirmed = false;
    };

    QCoro::Task<> run(QString account, std::stop_token stop);
    QCoro::Task<Status> settle(QString account);
    QCoro::Task<Status> checkVerification(QString account);
    QCoro::Task<Status> adoptKeys(QString account, QByteArray box);
    /// Keeps `ring` (with this device's pair, made if missing) in the store, then uses it.
    QCoro::Task<Status> keep(QString account, crypto::KeyRing ring);
    QCoro::Task<> watchUpdates(QString account, std::stop_token stop);
    QCoro::Task<Status> checkKeyUpdate(QString account);
    QCoro::Task<Result<void>> confirmAsVerifier(Outgoing outgoing, QString code);
    void endPending(const QString& problem);
    QCoro::Task<Status> publishThisDevice();
    QCoro::Task<Status> save(clouddb::CloudRecord record, clouddb::SavePolicy policy);
    QCoro::Task<Result<std::optional<clouddb::CloudRecord>>> fetch(QString recordName);
    /// Best effort: logs a failure and carries on.
    QCoro::Task<> remove(QString recordName);
    void setState(State state);
    void setIncoming(std::optional<IncomingVerification> incoming);

    Dependencies m_deps;
    QString m_deviceID;
    QString m_deviceName;
    State m_state = State::SignedOut;
    std::optional<QString> m_account;
    std::optional<crypto::KeyRing> m_ring;
    QString m_ringAccount; ///< the account m_ring belongs to
    bool m_isRunKey = false;
    std::optional<IncomingVerification> m_incoming;
    std::optional<Pending> m_pending;
    std::map<QString, Outgoing> m_outgoing;            ///< by the target's device id
    std::optional<crypto::DeviceKeyPair> m_devicePair; ///< long-lived, for rotated keys
    std::stop_source m_stop;
    std::stop_source m_updateNow; ///< wakes the wait for a rotated key
};

/// The secret store's name for an account's keys: its server and its name there.
QString accountKeyName(const QUrl& server, const QString& accountName);

} // namespace sonavert
