#include "src/account/account_keys.h"

#include "src/crypto/confirmation_code.h"
#include "src/runtime/log_channel.h"

#include <QUrl>

namespace sonavert {

using namespace clouddb;
using crypto::AccountKey;
using crypto::DeviceKeyPair;
using crypto::KeyRing;
using crypto::KeyShare;
using crypto::PinnedDevice;

namespace {

Error keysError(KeysErrorCode code, QString description) {
    return makeError(code, std::move(description));
}

Error stopping() {
    return keysError(KeysErrorCode::Stopping, stoppedText());
}

Error noKeyHere(const QString& what) {
    return keysError(KeysErrorCode::NoKeyHere,
                     QStringLiteral("This computer cannot %1: it does not hold your account's "
                                    "key itself.")
                         .arg(what));
}

/// The computer called `name` (any case); of several (a computer set up again under its old
/// name), the one that published its keys last.
QList<KeyedDevice>::const_iterator newestNamed(const QList<KeyedDevice>& devices,
                                               const QString& name) {
    auto newest = devices.end();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (it->name.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (newest == devices.end() ||
            it->lastPublished.value_or(Timestamp{}) > newest->lastPublished.value_or(Timestamp{}))
            newest = it;
    }
    return newest;
}

/// The computer called `name` other than this one, or the error to show; `notFound` may name
/// it with %1.
Result<KeyedDevice> otherComputerNamed(const QList<KeyedDevice>& devices, const QString& name,
                                       const QString& notFound) {
    const auto found = newestNamed(devices, name);
    if (found == devices.end())
        return keysError(KeysErrorCode::NoSuchComputer, notFound.arg(name));
    if (found->isThisDevice)
        return keysError(KeysErrorCode::IsThisComputer,
                         QStringLiteral("%1 is this computer.").arg(found->name));
    return *found;
}

} // namespace

QString accountKeyName(const QUrl& server, const QString& accountName) {
    return server.toString(QUrl::StripTrailingSlash) + QLatin1Char('|') + accountName;
}

AccountKeys::AccountKeys(Dependencies dependencies, QString deviceID, QString deviceName,
                         QObject* parent)
    : QObject(parent)
    , m_deps(std::move(dependencies))
    , m_records(std::make_shared<KeyRecords>(m_deps.database))
    , m_rotation(m_records, deviceID, deviceName)
    , m_deviceID(std::move(deviceID))
    , m_deviceName(std::move(deviceName)) {}

AccountKeys::~AccountKeys() {
    m_stop.request_stop();
    m_updateNow.request_stop();
}

PinnedDevice AccountKeys::me() const {
    return PinnedDevice{m_deviceID, m_deviceName,
                        m_devicePair ? m_devicePair->publicKey() : QByteArray()};
}

HeldKeys AccountKeys::held() const {
    return HeldKeys{*m_ring, *m_devicePair, m_pins, m_removed};
}

bool AccountKeys::ensureDevicePair() {
    if (m_devicePair)
        return true;
    Result<DeviceKeyPair> pair = DeviceKeyPair::generate();
    if (pair)
        m_devicePair = std::move(pair).value();
    return m_devicePair.has_value();
}

void AccountKeys::wake() {
    m_updateNow.request_stop();
}

QCoro::Task<> AccountKeys::loadStored(QString account) {
    const std::stop_token stop = m_tasks.token();
    auto store = m_deps.store;
    Result<std::optional<StoredKeys>> stored = co_await store->load(account);
    if (stop.stop_requested())
        co_return;
    if (!stored) {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=account_key_unreadable error=%{public}s", stored.error().description);
        co_return;
    }
    if (!stored.value() || m_ring)
        co_return;
    m_ring = stored.value()->ring;
    m_ringAccount = account;
    m_devicePair = stored.value()->device;
    m_pinsKnown = stored.value()->pins.has_value();
    m_pins = stored.value()->pins.value_or(QMap<QString, PinnedDevice>());
    m_removed = stored.value()->removed;
    Q_EMIT keyRingChanged();
    // An item of the first version has no device pair yet: the next rotation needs one.
    if (!m_devicePair && (co_await keep(account, *m_ring)).ok())
        logEvent(LogCategory::CloudKit, LogLevel::Info, "event=device_key_created");
}

QCoro::Task<Status> AccountKeys::keep(QString account, KeyRing ring) {
    const std::stop_token stop = m_tasks.token();
    auto store = m_deps.store;
    if (!ensureDevicePair())
        co_return crypto::cryptoUnavailable();
    if (!m_isRunKey) {
        // Named, not a temporary in the awaited call: GCC 12 mishandles those in coroutines.
        const StoredKeys kept{ring, m_devicePair,
                              m_pinsKnown ? std::optional(m_pins) : std::nullopt, m_removed};
        SONAVERT_CO_TRY(co_await store->save(account, kept));
    }
    if (stop.stop_requested())
        co_return Status();
    const bool isNew = !m_ring || m_ring->current().keyId() != ring.current().keyId();
    m_ring = std::move(ring);
    m_ringAccount = account;
    if (isNew)
        Q_EMIT keyRingChanged();
    co_return Status();
}

void AccountKeys::useForThisRun(KeyRing ring) {
    m_ring = std::move(ring);
    m_isRunKey = true;
    m_pinsKnown = true;
    Q_EMIT keyRingChanged();
}

void AccountKeys::setAccount(std::optional<QString> account) {
    if (account == m_account)
        return;
    m_stop.request_stop();
    m_updateNow.request_stop();
    m_stop = std::stop_source();
    m_account = std::move(account);
    m_joining.reset();
    m_outgoing.clear();
    m_lostFirstKey = false;
    setIncoming(std::nullopt);
    if (!m_account) {
        if (m_isRunKey) {
            setState(State::SignedOut);
            return;
        }
        const bool hadRing = m_ring.has_value();
        m_ring.reset();
        m_devicePair.reset();
        m_pins.clear();
        m_removed.clear();
        m_pinsKnown = false;
        setState(State::SignedOut);
        if (hadRing)
            Q_EMIT keyRingChanged();
        return;
    }
    setState(State::Checking);
    run(*m_account, m_stop.get_token());
}

void AccountKeys::setState(State state) {
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged();
}

void AccountKeys::setIncoming(std::optional<IncomingVerification> incoming) {
    if (!incoming && !m_incoming)
        return;
    if (incoming && m_incoming && incoming->verifierName == m_incoming->verifierName &&
        incoming->code == m_incoming->code && incoming->problem == m_incoming->problem &&
        incoming->isAnswered == m_incoming->isAnswered)
        return;
    m_incoming = std::move(incoming);
    Q_EMIT incomingChanged();
}

QCoro::Task<> AccountKeys::run(QString account, std::stop_token stop) {
    auto clock = m_deps.clock;
    // Another account's key must not seal this one's records.
    if (m_ring && !m_isRunKey && m_ringAccount != account) {
        m_ring.reset();
        m_devicePair.reset(); // kept with that account's keys, not this one's
        m_pins.clear();
        m_removed.clear();
        m_pinsKnown = false;
        Q_EMIT keyRingChanged();
    }
    if (!m_ring)
        co_await loadStored(account);
    while (!stop.stop_requested()) {
        const Status settled = co_await settle(account);
        if (stop.stop_requested())
            co_return;
        if (settled.ok())
            break;
        if (!co_await clock->sleep(kWaitInterval, stop))
            co_return;
    }
    while (!stop.stop_requested() && m_state == State::Unverified) {
        // A failed look is repeated at the next one.
        if (const Status looked = co_await checkVerification(account);
            !looked.ok() && !stop.stop_requested())
            logEvent(LogCategory::CloudKit, LogLevel::Debug,
                     "event=key_verification_check_failed error=%{public}s",
                     looked.error().description);
        if (stop.stop_requested())
            co_return;
        if (m_state != State::Unverified)
            break;
        // Woken early when the user opens a verification.
        const std::stop_token wake = m_updateNow.get_token();
        co_await clock->sleep(kWaitInterval, wake);
        if (stop.stop_requested())
            co_return;
        if (wake.stop_requested())
            m_updateNow = std::stop_source();
    }
    if (!stop.stop_requested() && m_state == State::Verified)
        co_await watchUpdates(account, stop);
}

QCoro::Task<> AccountKeys::watchUpdates(QString account, std::stop_token stop) {
    auto clock = m_deps.clock;
    while (!stop.stop_requested()) {
        if (const Status looked = co_await checkKeyUpdate(account);
            !looked.ok() && !stop.stop_requested())
            logEvent(LogCategory::CloudKit, LogLevel::Debug,
                     "event=key_update_check_failed error=%{public}s", looked.error().description);
        if (stop.stop_requested())
            co_return;
        // Woken early when a payload names an unknown key, and when the account changes.
        const std::stop_token wake = m_updateNow.get_token();
        co_await clock->sleep(kUpdateInterval, wake);
        if (stop.stop_requested())
            co_return;
        if (wake.stop_requested())
            m_updateNow = std::stop_source();
    }
}

void AccountKeys::checkForNewKeyNow() {
    wake();
}

QCoro::Task<Status> AccountKeys::checkKeyUpdate(QString account) {
    const std::stop_token stop = m_tasks.token();
    if (!m_ring || !m_devicePair)
        co_return Status();
    const QString before = m_ring->current().keyId();
    Result<std::optional<HeldKeys>> taken = co_await m_rotation.take(held());
    SONAVERT_CO_TRY(taken);
    if (stop.stop_requested() || !taken.value() || m_account != account)
        co_return Status();
    m_pins = taken.value()->pins;
    m_removed = taken.value()->removed;
    SONAVERT_CO_TRY(co_await keep(account, taken.value()->ring));
    if (stop.stop_requested() || m_ring->current().keyId() == before)
        co_return Status();
    co_return co_await publishThisDevice();
}

QCoro::Task<Result<RemovalPlan>> AccountKeys::planRemoval(QString name) {
    const std::stop_token stop = m_tasks.token();
    if (!m_account || m_state != State::Verified || !m_ring || !m_devicePair)
        co_return noKeyHere(QStringLiteral("take others out"));
    Result<QList<KeyedDevice>> devices = co_await this->devices();
    SONAVERT_CO_TRY(devices);
    if (stop.stop_requested())
        co_return stopping();
    Result<KeyedDevice> removed = otherComputerNamed(
        devices.value(), name,
        QStringLiteral("No computer called %1 is in this account's list of keys."));
    SONAVERT_CO_TRY(removed);
    RemovalPlan plan;
    plan.name = removed.value().name;
    for (const PinnedDevice& pinned : KeyRotation::recipients(held(), removed.value().deviceID))
        plan.recipients.append(pinned.name);
    for (const KeyedDevice& device : std::as_const(devices.value()))
        if (device.hasKey && !device.isPinned && !device.isThisDevice &&
            device.deviceID != removed.value().deviceID)
            plan.leftOut.append(device.name);
    co_return plan;
}

QCoro::Task<Result<int>> AccountKeys::removeComputer(QString name) {
    const std::stop_token stop = m_tasks.token();
    if (!m_account || m_state != State::Verified || !m_ring || !m_devicePair)
        co_return noKeyHere(QStringLiteral("take others out"));
    const QString account = *m_account;
    Result<QList<KeyedDevice>> devices = co_await this->devices();
    SONAVERT_CO_TRY(devices);
    if (stop.stop_requested())
        co_return stopping();
    Result<KeyedDevice> removed = otherComputerNamed(
        devices.value(), name,
        QStringLiteral("No computer called %1 is in this account's list of keys."));
    SONAVERT_CO_TRY(removed);
    const QString removedID = removed.value().deviceID;
    Result<KeyRotation::Removal> rotated = co_await m_rotation.remove(held(), removedID);
    SONAVERT_CO_TRY(rotated);
    if (stop.stop_requested())
        co_return stopping();
    m_pins = rotated.value().keys.pins;
    m_removed = rotated.value().keys.removed;
    SONAVERT_CO_TRY(co_await keep(account, rotated.value().keys.ring));
    if (stop.stop_requested())
        co_return stopping();
    const int sent = int(rotated.value().sentTo.size());
    logEvent(
        LogCategory::CloudKit, LogLevel::Info,
        "event=account_key_rotated key_id=%{public}s removed_device_id=%{public}s sent=%{public}d",
        m_ring->current().keyId(), removedID, sent);
    auto records = m_records;
    co_await records->removeDevice(removedID);
    co_await records->endVerification(removedID);
    if (stop.stop_requested())
        co_return stopping();
    SONAVERT_CO_TRY(co_await publishThisDevice());
    co_return sent;
}

QCoro::Task<Status> AccountKeys::settle(QString account) {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    SONAVERT_CO_TRY(co_await records->ensureZone());
    if (stop.stop_requested())
        co_return Status();
    if (!m_ring) {
        Result<QList<DeviceKeysEntry>> listed = co_await records->devices();
        SONAVERT_CO_TRY(listed);
        if (stop.stop_requested())
            co_return Status();
        const bool isHeldElsewhere = std::any_of(
            listed.value().begin(), listed.value().end(), [this](const DeviceKeysEntry& entry) {
                return entry.deviceID != m_deviceID && !entry.keyID.isEmpty();
            });
        bool isFirst = false;
        if (!isHeldElsewhere) {
            // Two computers of a fresh account started together would each make a key; the
            // server lets exactly one of them claim the making.
            Result<bool> claimed = co_await records->claimFirstKey(m_deviceID);
            SONAVERT_CO_TRY(claimed);
            if (stop.stop_requested())
                co_return Status();
            isFirst = claimed.value();
            if (!isFirst) {
                m_lostFirstKey = true;
                logEvent(LogCategory::CloudKit, LogLevel::Info, "event=account_key_claim_lost");
            }
        }
        if (!isFirst) {
            setState(State::Unverified);
            co_return co_await publishThisDevice();
        }
        // The account's first device: its key starts here, and everything this device writes
        // from now on is sealed with it.
        Result<AccountKey> created = AccountKey::generate();
        SONAVERT_CO_TRY(created);
        const KeyRing ring(created.value());
        m_pinsKnown = true;
        SONAVERT_CO_TRY(co_await keep(account, ring));
        if (stop.stop_requested())
            co_return Status();
        logEvent(LogCategory::CloudKit, LogLevel::Info,
                 "event=account_key_created key_id=%{public}s", m_ring->current().keyId());
    } else if (!m_devicePair) {
        // A key for this run, or one kept before: the pair a rotated key is boxed to.
        SONAVERT_CO_TRY(co_await keep(account, *m_ring));
        if (stop.stop_requested())
            co_return Status();
    }
    if (!m_pinsKnown)
        SONAVERT_CO_TRY(co_await pinVouchedOnce(account));
    if (stop.stop_requested())
        co_return Status();
    setState(State::Verified);
    co_return co_await publishThisDevice();
}

QCoro::Task<Status> AccountKeys::pinVouchedOnce(QString account) {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    Result<QList<DeviceKeysEntry>> listed = co_await records->devices();
    SONAVERT_CO_TRY(listed);
    if (stop.stop_requested() || !m_ring)
        co_return Status();
    for (const DeviceKeysEntry& entry : std::as_const(listed.value()))
        if (entry.deviceID != m_deviceID && entry.boxKey.size() == DeviceKeyPair::kPublicKeySize &&
            crypto::isDeviceKeyTag(m_ring->current(), entry.deviceID, entry.boxKey,
                                   entry.boxKeyTag))
            m_pins.insert(entry.deviceID, PinnedDevice{entry.deviceID, entry.name, entry.boxKey});
    m_pinsKnown = true;
    SONAVERT_CO_TRY(co_await keep(account, *m_ring));
    if (!stop.stop_requested())
        logEvent(LogCategory::CloudKit, LogLevel::Info,
                 "event=device_keys_pinned count=%{public}d reason=%{public}s", int(m_pins.size()),
                 "upgrade");
    co_return Status();
}

QCoro::Task<Result<void>> AccountKeys::startOver() {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    if (!m_account)
        co_return keysError(KeysErrorCode::NotSignedIn,
                            QStringLiteral("This computer is not signed in."));
    if (m_state != State::Unverified)
        co_return keysError(KeysErrorCode::HoldsKey,
                            QStringLiteral("Only a computer that does not hold the key can start "
                                           "over with a new one."));
    const QString account = *m_account;
    Result<AccountKey> created = AccountKey::generate();
    SONAVERT_CO_TRY(created);
    SONAVERT_CO_TRY(co_await records->takeFirstKeyClaim(m_deviceID));
    if (stop.stop_requested() || m_account != account)
        co_return stopping();
    // The waiting loop ends here; a verification under way means nothing now.
    m_stop.request_stop();
    m_updateNow.request_stop();
    m_stop = std::stop_source();
    m_joining.reset();
    m_lostFirstKey = false;
    setIncoming(std::nullopt);
    // A new key starts a new circle: every other computer is verified again.
    m_pins.clear();
    m_removed.clear();
    m_pinsKnown = true;
    const KeyRing ring(created.value());
    SONAVERT_CO_TRY(co_await keep(account, ring));
    if (stop.stop_requested() || m_account != account)
        co_return stopping();
    logEvent(LogCategory::CloudKit, LogLevel::Info,
             "event=account_key_created key_id=%{public}s reason=%{public}s",
             m_ring->current().keyId(), "start_over");
    setState(State::Verified);
    watchUpdates(account, m_stop.get_token());
    SONAVERT_CO_TRY(co_await publishThisDevice());
    co_return Result<void>();
}

QCoro::Task<Status> AccountKeys::publishThisDevice() {
    auto records = m_records;
    DeviceKeysEntry entry{m_deviceID, m_deviceName, m_ring ? m_ring->current().keyId() : QString(),
                          {},         {},           std::nullopt};
    if (m_ring && m_devicePair) {
        entry.boxKey = m_devicePair->publicKey();
        // Still made for computers of earlier versions, which trust what is vouched for.
        entry.boxKeyTag = crypto::deviceKeyTag(m_ring->current(), m_deviceID, entry.boxKey);
    }
    co_return co_await records->publish(std::move(entry));
}

QCoro::Task<Result<QList<KeyedDevice>>> AccountKeys::devices() {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    Result<QList<DeviceKeysEntry>> listed = co_await records->devices();
    SONAVERT_CO_TRY(listed);
    if (stop.stop_requested())
        co_return stopping();
    QList<KeyedDevice> devices;
    for (const DeviceKeysEntry& entry : std::as_const(listed.value())) {
        KeyedDevice device;
        device.deviceID = entry.deviceID;
        device.name = entry.name;
        device.hasKey = !entry.keyID.isEmpty();
        device.isThisDevice = entry.deviceID == m_deviceID;
        device.isPinned = m_pins.contains(entry.deviceID);
        device.lastPublished = entry.modified;
        devices.append(device);
    }
    co_return devices;
}

QCoro::Task<Result<QString>> AccountKeys::beginVerification(QString name) {
    const std::stop_token ended = m_tasks.token();
    auto clock = m_deps.clock;
    auto records = m_records;
    const std::stop_token stop = m_stop.get_token();
    if (!m_ring || !ensureDevicePair())
        co_return noKeyHere(QStringLiteral("verify others"));
    Result<QList<KeyedDevice>> devices = co_await this->devices();
    SONAVERT_CO_TRY(devices);
    if (ended.stop_requested())
        co_return stopping();
    Result<KeyedDevice> found =
        otherComputerNamed(devices.value(), name,
                           QStringLiteral("No computer called %1 is signed in to this account "
                                          "with this version of Sonavert."));
    SONAVERT_CO_TRY(found);
    const KeyedDevice target = found.value();
    Result<KeyVerification> started =
        KeyVerification::asVerifier(me(), target.deviceID, target.name);
    SONAVERT_CO_TRY(started);
    KeyVerification verification = std::move(started).value();
    SONAVERT_CO_TRY(co_await records->startVerification(verification.request()));

    // The other computer looks every two seconds while its user has a verification open.
    const Duration deadline = clock->monotonicNow() + kAnswerTimeout;
    while (verification.phase() == KeyVerification::Phase::Asking) {
        if (ended.stop_requested() || clock->monotonicNow() >= deadline)
            break;
        const bool slept = co_await clock->sleep(kPollInterval, stop);
        if (!slept || ended.stop_requested())
            break;
        Result<std::optional<VerificationEntry>> seen =
            co_await records->verification(target.deviceID);
        if (ended.stop_requested())
            break;
        if (seen && seen.value())
            verification.takeAnswer(*seen.value());
    }
    if (ended.stop_requested())
        co_return stopping();
    if (verification.phase() != KeyVerification::Phase::Comparing) {
        co_await records->endVerification(target.deviceID);
        co_return keysError(KeysErrorCode::NoAnswer,
                            QStringLiteral("%1 did not answer: Sonavert has to be running there, "
                                           "signed in to this account, with its verification "
                                           "open (the window's dialog, or 'sonavertctl verify "
                                           "%2' there).")
                                .arg(target.name, m_deviceName));
    }
    SONAVERT_CO_TRY(co_await records->addToVerification(target.deviceID, verification.reveal()));
    if (ended.stop_requested())
        co_return stopping();
    const QString code = verification.code();
    m_outgoing.insert_or_assign(target.deviceID, std::move(verification));
    co_return code;
}

QCoro::Task<Result<void>> AccountKeys::confirmVerification(QString name, QString code) {
    for (const auto& [id, outgoing] : m_outgoing) {
        if (outgoing.otherName().compare(name, Qt::CaseInsensitive) == 0) {
            const QString targetID = id; // the entry goes once the confirmation ends
            co_return co_await confirmAsVerifier(targetID, code);
        }
    }
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    if (!m_joining || m_joining->otherName().compare(name, Qt::CaseInsensitive) != 0 ||
        m_joining->phase() == KeyVerification::Phase::Ended)
        co_return keysError(KeysErrorCode::NoVerification,
                            QStringLiteral("No verification with %1 is under way: run "
                                           "'sonavertctl verify %2' on a computer that holds the "
                                           "key.")
                                .arg(name, m_deviceName));
    const Result<void> confirmed = m_joining->confirm(code);
    if (!confirmed) {
        if (m_joining->phase() == KeyVerification::Phase::Ended) {
            co_await records->endVerification(m_deviceID);
            if (!stop.stop_requested())
                endJoining(m_joining ? m_joining->problem() : QString());
        }
        co_return confirmed.error();
    }
    // The keys may be there already; otherwise the next look takes them, so a failed look
    // now is no failure of the confirmation.
    if (m_account) {
        const Status looked = co_await checkVerification(*m_account);
        if (!looked.ok())
            logEvent(LogCategory::CloudKit, LogLevel::Debug,
                     "event=key_verification_check_failed error=%{public}s",
                     looked.error().description);
    }
    co_return Result<void>();
}

QCoro::Task<Result<void>> AccountKeys::confirmAsVerifier(QString targetID, QString code) {
    const std::stop_token ended = m_tasks.token();
    auto clock = m_deps.clock;
    auto records = m_records;
    const std::stop_token stop = m_stop.get_token();
    auto found = m_outgoing.find(targetID);
    KeyVerification verification = std::move(found->second);
    m_outgoing.erase(found);
    if (const Result<void> confirmed = verification.confirm(code); !confirmed) {
        co_await records->endVerification(targetID);
        co_return confirmed.error();
    }
    if (!m_ring || !m_devicePair)
        co_return noKeyHere(QStringLiteral("share it"));
    // The other computer boxes its own key as soon as it has seen this one's, which is before
    // its user can have read the code there; a look or two covers a slow network.
    Result<PinnedDevice> joiner = verification.joinerKey(VerificationEntry{});
    const Duration deadline = clock->monotonicNow() + kAnswerTimeout;
    while (true) {
        Result<std::optional<VerificationEntry>> seen = co_await records->verification(targetID);
        if (ended.stop_requested())
            co_return stopping();
        SONAVERT_CO_TRY(seen);
        joiner = verification.joinerKey(seen.value().value_or(VerificationEntry{}));
        // Awaited on its own: GCC 12 mishandles a co_await inside a condition that also reads
        // a coroutine local of class type.
        if (joiner || !KeyVerification::isNotYet(joiner.error()) ||
            clock->monotonicNow() >= deadline)
            break;
        const bool slept = co_await clock->sleep(kPollInterval, stop);
        if (!slept || ended.stop_requested())
            break;
    }
    if (ended.stop_requested())
        co_return stopping();
    if (!joiner) {
        co_await records->endVerification(targetID);
        co_return joiner.error();
    }
    if (!m_ring || !m_devicePair)
        co_return noKeyHere(QStringLiteral("share it"));
    const KeyShare share{me(), *m_ring, m_pins.values(), {}};
    Result<VerificationEntry> boxed = verification.keysFor(share);
    SONAVERT_CO_TRY(boxed);
    SONAVERT_CO_TRY(co_await records->addToVerification(targetID, boxed.value()));
    if (ended.stop_requested() || !m_account || !m_ring)
        co_return stopping();
    m_pins.insert(joiner.value().deviceID, joiner.value());
    m_removed.remove(joiner.value().deviceID);
    SONAVERT_CO_TRY(co_await keep(*m_account, *m_ring));
    if (ended.stop_requested())
        co_return stopping();
    logEvent(LogCategory::CloudKit, LogLevel::Info, "event=account_key_shared device_id=%{public}s",
             targetID);
    // The others learn its key from this computer, which they trust: their next rotation
    // reaches it too.
    co_await m_rotation.announce(held(), joiner.value());
    co_return Result<void>();
}

void AccountKeys::endJoining(const QString& problem) {
    if (m_incoming) {
        IncomingVerification ended = *m_incoming;
        ended.problem = problem;
        setIncoming(ended);
    }
    if (m_joining && m_joining->phase() != KeyVerification::Phase::Ended)
        m_joining->end(problem);
}

void AccountKeys::openVerification() {
    ++m_openings;
    // An exchange under way carries on in the new opening; one that ended makes room.
    const bool isUnderWay = m_joining && m_joining->phase() != KeyVerification::Phase::Ended &&
                            m_joining->phase() != KeyVerification::Phase::Done;
    m_answeredInOpening = isUnderWay;
    if (!isUnderWay) {
        m_joining.reset();
        setIncoming(std::nullopt);
    }
    wake();
}

void AccountKeys::closeVerification() {
    if (m_openings == 0)
        return;
    if (--m_openings > 0)
        return;
    // Nothing more is answered; an exchange whose user confirmed still takes its keys.
    if (m_joining && m_joining->phase() != KeyVerification::Phase::Confirmed) {
        m_joining.reset();
        setIncoming(std::nullopt);
    }
}

QCoro::Task<Result<QString>> AccountKeys::awaitIncomingCode(QString name, std::stop_token stop) {
    const std::stop_token ended = m_tasks.token();
    auto clock = m_deps.clock;
    if (m_state != State::Unverified)
        co_return keysError(KeysErrorCode::HoldsKey,
                            QStringLiteral("This computer holds the key already."));
    openVerification();
    const Duration deadline = clock->monotonicNow() + kAnswerTimeout;
    while (!ended.stop_requested() && !stop.stop_requested()) {
        if (m_joining && m_joining->otherName().compare(name, Qt::CaseInsensitive) == 0) {
            if (m_joining->phase() == KeyVerification::Phase::Comparing)
                co_return m_joining->code();
            if (m_joining->phase() == KeyVerification::Phase::Ended)
                co_return keysError(KeysErrorCode::NoVerification, m_joining->problem());
        }
        if (clock->monotonicNow() >= deadline)
            break;
        const bool slept = co_await clock->sleep(kPollInterval, stop);
        if (!slept)
            break;
    }
    if (ended.stop_requested())
        co_return stopping();
    co_return keysError(KeysErrorCode::NoAnswer,
                        QStringLiteral("%1 did not start a verification of this computer: run "
                                       "'sonavertctl verify %2' there.")
                            .arg(name, m_deviceName));
}

QCoro::Task<Status> AccountKeys::checkVerification(QString account) {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    Result<std::optional<VerificationEntry>> fetched = co_await records->verification(m_deviceID);
    SONAVERT_CO_TRY(fetched);
    if (stop.stop_requested() || m_state != State::Unverified)
        co_return Status();
    if (!fetched.value()) {
        if (m_joining && m_joining->phase() != KeyVerification::Phase::Ended)
            endJoining(QStringLiteral("The verification was ended on the other computer."));
        co_return Status();
    }
    const VerificationEntry& entry = *fetched.value();
    if (entry.verificationID.isEmpty())
        co_return Status();
    if (!m_joining || m_joining->verificationID() != entry.verificationID) {
        if (m_openings == 0) {
            // Shown, not answered: the user opens the verification to answer it.
            setIncoming(IncomingVerification{entry.verifierName, {}, {}, false});
            co_return Status();
        }
        if (m_answeredInOpening) {
            // One verification per opening: a second one (a restart there, or a server trying
            // codes) waits until the user opens the verification again.
            if (m_joining && m_joining->phase() != KeyVerification::Phase::Ended)
                endJoining(QStringLiteral("%1 started the verification again. Close this and "
                                          "open it again to answer the new one.")
                               .arg(entry.verifierName));
            co_return Status();
        }
        Result<KeyVerification> answered = KeyVerification::asJoiner(entry);
        SONAVERT_CO_TRY(answered);
        if (!ensureDevicePair())
            co_return crypto::cryptoUnavailable();
        m_joining = std::move(answered).value();
        m_answeredInOpening = true;
        setIncoming(IncomingVerification{entry.verifierName, {}, {}, true});
        co_return co_await records->addToVerification(m_deviceID, m_joining->answer());
    }
    if (m_joining->phase() == KeyVerification::Phase::Answered) {
        const std::optional<VerificationEntry> part = m_joining->takeReveal(entry, me());
        if (m_joining->phase() == KeyVerification::Phase::Ended) {
            logEvent(LogCategory::CloudKit, LogLevel::Error,
                     "event=key_verification_refused reason=%{public}s", "commitment");
            endJoining(m_joining->problem());
            co_return Status();
        }
        if (!part)
            co_return Status();
        SONAVERT_CO_TRY(co_await records->addToVerification(m_deviceID, *part));
        if (stop.stop_requested() || !m_joining)
            co_return Status();
        IncomingVerification shown = m_incoming.value_or(IncomingVerification{});
        shown.verifierName = m_joining->otherName();
        shown.code = m_joining->code();
        setIncoming(shown);
        co_return Status();
    }
    std::optional<Result<KeyShare>> keys = m_joining->takeKeys(entry);
    if (!keys)
        co_return Status();
    if (!*keys) {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=key_verification_refused reason=%{public}s", "box");
        endJoining(m_joining->problem());
        co_return Status();
    }
    co_return co_await adopt(account, std::move(*keys).value());
}

QCoro::Task<Status> AccountKeys::adopt(QString account, KeyShare share) {
    const std::stop_token stop = m_tasks.token();
    auto records = m_records;
    // The verifier, and every computer it trusts: the ones a rotation from here reaches.
    m_pins.clear();
    m_pins.insert(share.from.deviceID, share.from);
    for (const PinnedDevice& pinned : std::as_const(share.pins))
        if (pinned.deviceID != m_deviceID)
            m_pins.insert(pinned.deviceID, pinned);
    m_removed.clear();
    m_pinsKnown = true;
    SONAVERT_CO_TRY(co_await keep(account, *share.ring));
    if (stop.stop_requested())
        co_return Status();
    m_joining.reset();
    m_lostFirstKey = false;
    setIncoming(std::nullopt);
    logEvent(LogCategory::CloudKit, LogLevel::Info, "event=account_key_received key_id=%{public}s",
             m_ring->current().keyId());
    setState(State::Verified);
    co_await records->endVerification(m_deviceID);
    if (stop.stop_requested())
        co_return Status();
    co_return co_await publishThisDevice();
}

} // namespace sonavert
