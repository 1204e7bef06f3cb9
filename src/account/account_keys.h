#pragma once

#include "src/account/account_key_store.h"
#include "src/account/key_records.h"
#include "src/account/key_rotation.h"
#include "src/account/key_verification.h"
#include "src/clouddb/cloud_database.h"
#include "src/crypto/device_key_pair.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <map>
#include <stop_token>

namespace sonavert {

inline const QString kAccountKeysErrorDomain = QStringLiteral("SonavertAccountKeys");

/// Codes of the domain "SonavertAccountKeys".
enum class KeysErrorCode {
    Damaged = 1,        ///< the key kept on this computer does not read back
    Stopping = 3,       ///< the app stopped before the operation finished
    NoKeyHere = 4,      ///< the operation needs the account key, which this computer lacks
    NoSuchComputer = 5, ///< the name given is none of the account's computers
    IsThisComputer = 6, ///< the name given is this computer's own
    NoAnswer = 7,       ///< the other computer did not answer the verification in time
    NoVerification = 8, ///< no verification is open to confirm or answer
    NotSignedIn = 11,
    HoldsKey = 12, ///< a new key was asked of a computer that holds one
};
inline QString errorDomain(KeysErrorCode) {
    return kAccountKeysErrorDomain;
}

inline const QString kJoiningErrorDomain = QStringLiteral("SonavertJoining");

/// Why watching for the computer an invitation brings ended without one (domain
/// "SonavertJoining").
enum class JoiningErrorCode {
    CodeExpired = 1,  ///< no computer signed in with the code before it expired
    WatchStopped = 2, ///< the watch was called off
};
inline QString errorDomain(JoiningErrorCode) {
    return kJoiningErrorDomain;
}

/// One computer of the account as the keys zone lists it.
struct KeyedDevice {
    QString deviceID;
    QString name;
    bool hasKey = false; ///< it holds the account's key (the current one, as far as it says)
    bool isThisDevice = false;
    /// This computer knows its long-lived key from a verification (its own or one of a computer
    /// it knows): only such computers receive a rotated key.
    bool isPinned = false;
    std::optional<Timestamp> lastPublished; ///< when it last said what it holds (server time)
};

/// A verification of this device that another one started: who asks, and the code to compare
/// once both keys are known. `isAnswered` is false while no verification is open here to
/// answer it; `problem` says why it stopped, when it did.
struct IncomingVerification {
    QString verifierName;
    QString code;
    QString problem;
    bool isAnswered = true;
};

/// What taking a computer out would do: the computers the new key goes to (those this one has
/// pinned) and those that say they hold the key but would not get it (never verified through
/// a computer this one trusts).
struct RemovalPlan {
    QString name;
    QStringList recipients;
    QStringList leftOut;
};

/// The account key of this device: kept in its secret store, created by the account's first
/// device, and shared with a new device only after the user has seen the same code on both
/// (see KeyVerification). The other computers' long-lived keys are pinned the same way, and
/// only pinned computers receive a rotated key or are believed when they send one
/// (KeyRotation): whatever the server lists, a computer nobody verified gets nothing.
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

    static inline const QString kZone = KeyRecords::kZone;
    static inline const QString kDeviceRecordType = KeyRecords::kDeviceRecordType;
    static inline const QString kVerificationRecordType = KeyRecords::kVerificationRecordType;

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
    /// This computer tried to make the account's first key while another did, and the other
    /// won: it waits for the key like any new computer.
    bool lostFirstKey() const { return m_lostFirstKey; }

    /// The ring kept for `account` (see accountKeyName), read before anything fetches sealed
    /// records so that a song queued for this device while it was off opens at once.
    QCoro::Task<> loadStored(QString account);
    /// A key given for this run (as a token can be): used for every account, never stored.
    void useForThisRun(crypto::KeyRing ring);
    /// Follows the account: with one, publishes this device, creates the key if no device of
    /// the account holds one and this one wins the server's claim to make it, and otherwise
    /// waits for a verification; without, forgets.
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

    /// On a computer without the key, a verification is answered only while its user has one
    /// open (the window's dialog, or sonavertctl): each opening answers one verification, so a
    /// server cannot retry codes while the user looks at the screen. Openings are counted.
    void openVerification();
    void closeVerification();
    bool isVerificationOpen() const { return m_openings > 0; }
    /// Opens a verification until `name` has shown its code here (the code), `stop`, or
    /// kAnswerTimeout; the opening stays until closeVerification.
    QCoro::Task<Result<QString>> awaitIncomingCode(QString name, std::stop_token stop);

    /// For an account whose key no running computer holds any more (the only one that had it
    /// was reinstalled or lost): makes a new key here. Songs sealed under the old key stay
    /// unreadable here, and computers that still hold the old one must be verified again.
    QCoro::Task<Result<void>> startOver();

    /// What removeComputer(`name`) would do, to show before it is done.
    QCoro::Task<Result<RemovalPlan>> planRemoval(QString name);
    /// Takes the computer called `name` out of the account's keys: a new key is made here and
    /// boxed to every pinned computer but it, the old ones stay in every ring so what was
    /// sealed before stays readable, and `name` never gets the new one. Answers how many
    /// computers it was sent to. Revoking the computer's token on the server is the other
    /// half of removing it.
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
    /// How long a computer that has just joined with an invitation answers a verification.
    static constexpr Duration kJoinOpening = 10min;
    /// How often a computer that invited another looks for it in the account's keys.
    static constexpr Duration kJoinPollInterval = 2s;

Q_SIGNALS:
    void stateChanged();
    void keyRingChanged();
    void incomingChanged();

private:
    QCoro::Task<> run(QString account, std::stop_token stop);
    QCoro::Task<Status> settle(QString account);
    /// A stored ring of a version that trusted vouched keys: pins, once, the computers whose
    /// key is vouched for under the current key, so rotations keep reaching them.
    QCoro::Task<Status> pinVouchedOnce(QString account);
    QCoro::Task<Status> checkVerification(QString account);
    QCoro::Task<Status> adopt(QString account, crypto::KeyShare share);
    /// Keeps `ring` (with this device's pair, made if missing, and its pins) in the store,
    /// then uses it.
    QCoro::Task<Status> keep(QString account, crypto::KeyRing ring);
    QCoro::Task<> watchUpdates(QString account, std::stop_token stop);
    QCoro::Task<Status> checkKeyUpdate(QString account);
    QCoro::Task<Result<void>> confirmAsVerifier(QString targetID, QString code);
    void endJoining(const QString& problem);
    QCoro::Task<Status> publishThisDevice();
    void setState(State state);
    void setIncoming(std::optional<IncomingVerification> incoming);
    bool ensureDevicePair();
    crypto::PinnedDevice me() const;
    HeldKeys held() const;
    void wake();

    Dependencies m_deps;
    std::shared_ptr<KeyRecords> m_records;
    KeyRotation m_rotation;
    QString m_deviceID;
    QString m_deviceName;
    State m_state = State::SignedOut;
    std::optional<QString> m_account;
    std::optional<crypto::KeyRing> m_ring;
    QString m_ringAccount; ///< the account m_ring belongs to
    bool m_isRunKey = false;
    std::optional<crypto::DeviceKeyPair> m_devicePair; ///< long-lived, for rotated keys
    QMap<QString, crypto::PinnedDevice> m_pins;
    QSet<QString> m_removed;
    bool m_pinsKnown = false; ///< false for a ring kept by a version without pins
    bool m_lostFirstKey = false;
    std::optional<IncomingVerification> m_incoming;
    std::optional<KeyVerification> m_joining;
    std::map<QString, KeyVerification> m_outgoing; ///< by the target's device id
    int m_openings = 0;
    bool m_answeredInOpening = false;
    std::stop_source m_stop;
    std::stop_source m_updateNow; ///< wakes the wait for a verification or a rotated key
    TaskHandle m_tasks;           ///< what the calls above started; last, so it ends them first
};

/// The secret store's name for an account's keys: its server and its name there.
QString accountKeyName(const QUrl& server, const QString& accountName);

} // namespace sonavert
