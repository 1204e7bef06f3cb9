#include "src/account/account_keys.h"

#include "src/crypto/confirmation_code.h"
#include "src/runtime/log_channel.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QUrl>

namespace sonavert {

using namespace clouddb;
using crypto::AccountKey;
using crypto::DeviceKeyPair;
using crypto::KeyRing;

namespace {

// Fields of the records of the keys zone. Nothing in them is secret: public keys, a
// commitment, and keys boxed to one device.
const QString kDeviceID = QStringLiteral("deviceID");
const QString kDeviceName = QStringLiteral("deviceName");
const QString kKeyID = QStringLiteral("keyID");
const QString kTargetID = QStringLiteral("targetDeviceID");
const QString kVerifierID = QStringLiteral("verifierDeviceID");
const QString kVerifierName = QStringLiteral("verifierName");
const QString kVerificationID = QStringLiteral("verificationID");
const QString kCommitment = QStringLiteral("commitment");
const QString kTargetKey = QStringLiteral("targetKey");
const QString kAnsweredID = QStringLiteral("answeredID");
const QString kVerifierKey = QStringLiteral("verifierKey");
const QString kBoxedKeys = QStringLiteral("boxedKeys");
const QString kBoxKey = QStringLiteral("boxKey");
const QString kBoxKeyTag = QStringLiteral("boxKeyTag");
const QString kFromDeviceID = QStringLiteral("fromDeviceID");
const QString kFromKey = QStringLiteral("fromKey");
const QString kFromKeyTag = QStringLiteral("fromKeyTag");

QString deviceRecordName(const QString& deviceID) {
    return QStringLiteral("devicekeys-") + deviceID;
}

QString verificationRecordName(const QString& deviceID) {
    return QStringLiteral("verification-") + deviceID;
}

QString keyUpdateRecordName(const QString& deviceID) {
    return QStringLiteral("keyupdate-") + deviceID;
}

/// Whether some key of `ring` made `tag` for the device's public key.
bool isVouched(const KeyRing& ring, const QString& deviceID, const QByteArray& publicKey,
               const QByteArray& tag) {
    if (tag.isEmpty() || publicKey.size() != DeviceKeyPair::kPublicKeySize)
        return false;
    if (crypto::isDeviceKeyTag(ring.current(), deviceID, publicKey, tag))
        return true;
    return std::any_of(ring.earlier().begin(), ring.earlier().end(), [&](const AccountKey& key) {
        return crypto::isDeviceKeyTag(key, deviceID, publicKey, tag);
    });
}

QByteArray bytesField(const CloudRecord& record, const QString& field) {
    return QByteArray::fromBase64(record.string(field).value_or(QString()).toLatin1());
}

QString text(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

Error keysError(int code, QString description) {
    return makeError(QStringLiteral("SonavertAccountKeys"), code, std::move(description));
}

Error stopping() {
    return keysError(3, QStringLiteral("Sonavert is stopping."));
}

/// Digits only, so "123 456" and "123456" are the same code.
QString digitsOf(const QString& code) {
    QString digits;
    for (const QChar c : code)
        if (c.isDigit())
            digits += c;
    return digits;
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

/// The ring as the bytes that travel boxed: the current key first, then the earlier ones.
QByteArray ringBytes(const KeyRing& ring) {
    QByteArray bytes(reinterpret_cast<const char*>(ring.current().data()), AccountKey::kSize);
    for (const AccountKey& key : ring.earlier())
        bytes.append(reinterpret_cast<const char*>(key.data()), AccountKey::kSize);
    return bytes;
}

Result<KeyRing> ringFromBytes(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() % AccountKey::kSize != 0)
        return keysError(2, QStringLiteral("The keys received have the wrong length."));
    QList<AccountKey> keys;
    for (qsizetype offset = 0; offset < bytes.size(); offset += AccountKey::kSize) {
        Result<AccountKey> key = AccountKey::fromBytes(bytes.mid(offset, AccountKey::kSize));
        SONAVERT_TRY(key);
        keys.append(std::move(key).value());
    }
    const AccountKey current = keys.takeFirst();
    return KeyRing(current, std::move(keys));
}

void wipe(QByteArray& bytes) {
    bytes.fill('\0');
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
        return keysError(5, notFound.arg(name));
    if (found->isThisDevice)
        return keysError(6, QStringLiteral("%1 is this computer.").arg(found->name));
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
    , m_deviceID(std::move(deviceID))
    , m_deviceName(std::move(deviceName)) {}

AccountKeys::~AccountKeys() {
    m_stop.request_stop();
    m_updateNow.request_stop();
}

QCoro::Task<> AccountKeys::loadStored(QString account) {
    QPointer guard(this);
    auto store = m_deps.store;
    Result<std::optional<StoredKeys>> stored = co_await store->load(account);
    if (!guard)
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
    Q_EMIT keyRingChanged();
    // An item of the first version has no device pair yet: the next rotation needs one.
    if (!m_devicePair && (co_await keep(account, *m_ring)).ok())
        logEvent(LogCategory::CloudKit, LogLevel::Info, "event=device_key_created");
}

QCoro::Task<Status> AccountKeys::keep(QString account, KeyRing ring) {
    QPointer guard(this);
    auto store = m_deps.store;
    if (!m_devicePair) {
        Result<DeviceKeyPair> pair = DeviceKeyPair::generate();
        SONAVERT_CO_TRY(pair);
        m_devicePair = std::move(pair).value();
    }
    if (!m_isRunKey) {
        // Named, not a temporary in the awaited call: GCC 12 mishandles those in coroutines.
        const StoredKeys kept{ring, m_devicePair};
        SONAVERT_CO_TRY(co_await store->save(account, kept));
    }
    if (!guard)
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
    Q_EMIT keyRingChanged();
}

void AccountKeys::setAccount(std::optional<QString> account) {
    if (account == m_account)
        return;
    m_stop.request_stop();
    m_updateNow.request_stop();
    m_stop = std::stop_source();
    m_account = std::move(account);
    m_pending.reset();
    m_outgoing.clear();
    setIncoming(std::nullopt);
    if (!m_account) {
        if (m_isRunKey) {
            setState(State::SignedOut);
            return;
        }
        const bool hadRing = m_ring.has_value();
        m_ring.reset();
        m_devicePair.reset();
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
    m_incoming = std::move(incoming);
    Q_EMIT incomingChanged();
}

QCoro::Task<> AccountKeys::run(QString account, std::stop_token stop) {
    QPointer guard(this);
    auto clock = m_deps.clock;
    // Another account's key must not seal this one's records.
    if (m_ring && !m_isRunKey && m_ringAccount != account) {
        m_ring.reset();
        m_devicePair.reset(); // kept with that account's keys, not this one's
        Q_EMIT keyRingChanged();
    }
    if (!m_ring)
        co_await loadStored(account);
    while (guard && !stop.stop_requested()) {
        const Status settled = co_await settle(account);
        if (!guard || stop.stop_requested())
            co_return;
        if (settled.ok())
            break;
        if (!co_await clock->sleep(kWaitInterval, stop))
            co_return;
    }
    while (guard && !stop.stop_requested() && m_state == State::Unverified) {
        // A failed look is repeated at the next one.
        if (const Status looked = co_await checkVerification(account); !looked.ok() && guard)
            logEvent(LogCategory::CloudKit, LogLevel::Debug,
                     "event=key_verification_check_failed error=%{public}s",
                     looked.error().description);
        if (!guard || stop.stop_requested())
            co_return;
        if (m_state != State::Unverified)
            break;
        if (!co_await clock->sleep(kWaitInterval, stop))
            co_return;
    }
    if (guard && !stop.stop_requested() && m_state == State::Verified)
        co_await watchUpdates(account, stop);
}

QCoro::Task<> AccountKeys::watchUpdates(QString account, std::stop_token stop) {
    QPointer guard(this);
    auto clock = m_deps.clock;
    while (guard && !stop.stop_requested()) {
        if (const Status looked = co_await checkKeyUpdate(account); !looked.ok() && guard)
            logEvent(LogCategory::CloudKit, LogLevel::Debug,
                     "event=key_update_check_failed error=%{public}s", looked.error().description);
        if (!guard || stop.stop_requested())
            co_return;
        // Woken early when a payload names an unknown key, and when the account changes.
        const std::stop_token wake = m_updateNow.get_token();
        co_await clock->sleep(kUpdateInterval, wake);
        if (!guard || stop.stop_requested())
            co_return;
        if (wake.stop_requested())
            m_updateNow = std::stop_source();
    }
}

void AccountKeys::checkForNewKeyNow() {
    m_updateNow.request_stop();
}

QCoro::Task<Status> AccountKeys::checkKeyUpdate(QString account) {
    QPointer guard(this);
    Result<std::optional<CloudRecord>> fetched = co_await fetch(keyUpdateRecordName(m_deviceID));
    SONAVERT_CO_TRY(fetched);
    if (!guard || !fetched.value() || !m_ring || !m_devicePair)
        co_return Status();
    const CloudRecord& update = *fetched.value();
    if (m_ring->find(update.string(kKeyID).value_or(QString()))) {
        co_await remove(update.recordName); // taken already
        co_return Status();
    }
    // Only from a computer that holds this device's key, for its own device key.
    const QString from = update.string(kFromDeviceID).value_or(QString());
    const QByteArray fromKey = bytesField(update, kFromKey);
    Result<QByteArray> opened =
        isVouched(*m_ring, from, fromKey, bytesField(update, kFromKeyTag))
            ? m_devicePair->openFrom(fromKey, bytesField(update, kBoxedKeys))
            : Result<QByteArray>(keysError(13, QStringLiteral("not vouched for")));
    Result<KeyRing> ring = opened ? ringFromBytes(opened.value()) : Result<KeyRing>(opened.error());
    if (opened)
        wipe(opened.value());
    if (!ring || !ring.value().find(m_ring->current().keyId())) {
        // Not a rotation of this device's key: left where it is, taken by nobody.
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=key_update_refused from_device_id=%{public}s", from);
        co_await remove(update.recordName);
        co_return Status();
    }
    SONAVERT_CO_TRY(co_await keep(account, ring.value()));
    if (!guard)
        co_return Status();
    logEvent(LogCategory::CloudKit, LogLevel::Info,
             "event=account_key_rotated key_id=%{public}s from_device_id=%{public}s",
             m_ring->current().keyId(), from);
    co_await remove(update.recordName);
    if (!guard)
        co_return Status();
    co_return co_await publishThisDevice();
}

QCoro::Task<Result<int>> AccountKeys::removeComputer(QString name) {
    QPointer guard(this);
    if (!m_account || m_state != State::Verified || !m_ring || !m_devicePair)
        co_return keysError(4, QStringLiteral("This computer cannot take others out: it does "
                                              "not hold your account's key itself."));
    const QString account = *m_account;
    Result<QList<KeyedDevice>> devices = co_await this->devices();
    SONAVERT_CO_TRY(devices);
    if (!guard)
        co_return stopping();
    const QList<KeyedDevice>& known = devices.value();
    Result<KeyedDevice> removed = otherComputerNamed(
        known, name, QStringLiteral("No computer called %1 is in this account's list of keys."));
    SONAVERT_CO_TRY(removed);
    const QString removedID = removed.value().deviceID;

    // The new key first, the old ones after it: what was sealed before stays readable here.
    Result<AccountKey> created = AccountKey::generate();
    SONAVERT_CO_TRY(created);
    QList<AccountKey> earlier{m_ring->current()};
    earlier.append(m_ring->earlier());
    const KeyRing rotated(created.value(), earlier);
    const KeyRing before = *m_ring;
    QByteArray keys = ringBytes(rotated);
    int sent = 0;
    for (const KeyedDevice& device : known) {
        const QString& id = device.deviceID;
        const QByteArray& boxKey = device.boxKey;
        if (id == removedID || device.isThisDevice ||
            !isVouched(before, id, boxKey, device.boxKeyTag))
            continue;
        Result<QByteArray> box = m_devicePair->boxFor(boxKey, keys);
        if (!box)
            continue;
        CloudRecord update;
        update.recordName = keyUpdateRecordName(id);
        update.recordType = kKeyUpdateRecordType;
        update.fields.insert(kFromDeviceID, m_deviceID);
        update.fields.insert(kFromKey, text(m_devicePair->publicKey()));
        update.fields.insert(kFromKeyTag, text(crypto::deviceKeyTag(before.current(), m_deviceID,
                                                                    m_devicePair->publicKey())));
        update.fields.insert(kKeyID, rotated.current().keyId());
        update.fields.insert(kBoxedKeys, text(box.value()));
        const Status saved = co_await save(std::move(update), SavePolicy::AllKeys);
        if (!guard) {
            wipe(keys);
            co_return stopping();
        }
        if (saved.ok())
            ++sent;
    }
    wipe(keys);
    SONAVERT_CO_TRY(co_await keep(account, rotated));
    if (!guard)
        co_return stopping();
    logEvent(
        LogCategory::CloudKit, LogLevel::Info,
        "event=account_key_rotated key_id=%{public}s removed_device_id=%{public}s sent=%{public}d",
        rotated.current().keyId(), removedID, sent);
    co_await remove(deviceRecordName(removedID));
    co_await remove(verificationRecordName(removedID));
    if (!guard)
        co_return stopping();
    SONAVERT_CO_TRY(co_await publishThisDevice());
    co_return sent;
}

QCoro::Task<Status> AccountKeys::settle(QString account) {
    QPointer guard(this);
    auto database = m_deps.database;
    auto store = m_deps.store;
    SONAVERT_CO_TRY(co_await database->saveZone(kZone));
    if (!guard)
        co_return Status();
    if (!m_ring) {
        Result<ZoneChanges> zone = co_await database->fetchZoneChanges(kZone, std::nullopt);
        SONAVERT_CO_TRY(zone);
        if (!guard)
            co_return Status();
        const bool isHeldElsewhere =
            std::any_of(zone.value().changed.begin(), zone.value().changed.end(),
                        [this](const CloudRecord& record) {
                            return record.recordType == kDeviceRecordType &&
                                   record.string(kDeviceID) != m_deviceID &&
                                   !record.string(kKeyID).value_or(QString()).isEmpty();
                        });
        if (isHeldElsewhere) {
            setState(State::Unverified);
            co_return co_await publishThisDevice();
        }
        // The account's first device of this version: its key starts here, and everything
        // this device writes from now on is sealed with it.
        Result<AccountKey> created = AccountKey::generate();
        SONAVERT_CO_TRY(created);
        const KeyRing ring(created.value());
        SONAVERT_CO_TRY(co_await keep(account, ring));
        if (!guard)
            co_return Status();
        logEvent(LogCategory::CloudKit, LogLevel::Info,
                 "event=account_key_created key_id=%{public}s", m_ring->current().keyId());
    } else if (!m_devicePair) {
        // A key for this run, or one kept before: the pair a rotated key is boxed to.
        SONAVERT_CO_TRY(co_await keep(account, *m_ring));
        if (!guard)
            co_return Status();
    }
    setState(State::Verified);
    co_return co_await publishThisDevice();
}

QCoro::Task<Result<void>> AccountKeys::startOver() {
    QPointer guard(this);
    auto store = m_deps.store;
    if (!m_account)
        co_return keysError(11, QStringLiteral("This computer is not signed in."));
    if (m_state != State::Unverified)
        co_return keysError(12, QStringLiteral("Only a computer that does not hold the key can "
                                               "start over with a new one."));
    const QString account = *m_account;
    Result<AccountKey> created = AccountKey::generate();
    SONAVERT_CO_TRY(created);
    // The waiting loop ends here; a verification under way means nothing now.
    m_stop.request_stop();
    m_updateNow.request_stop();
    m_stop = std::stop_source();
    m_pending.reset();
    setIncoming(std::nullopt);
    const KeyRing ring(created.value());
    SONAVERT_CO_TRY(co_await keep(account, ring));
    if (!guard || m_account != account)
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
    CloudRecord record;
    record.recordName = deviceRecordName(m_deviceID);
    record.recordType = kDeviceRecordType;
    record.fields.insert(kDeviceID, m_deviceID);
    record.fields.insert(kDeviceName, m_deviceName);
    record.fields.insert(kKeyID, m_ring ? m_ring->current().keyId() : QString());
    if (m_ring && m_devicePair) {
        const QByteArray publicKey = m_devicePair->publicKey();
        record.fields.insert(kBoxKey, text(publicKey));
        record.fields.insert(kBoxKeyTag,
                             text(crypto::deviceKeyTag(m_ring->current(), m_deviceID, publicKey)));
    }
    co_return co_await save(std::move(record), SavePolicy::AllKeys);
}

QCoro::Task<Status> AccountKeys::save(CloudRecord record, SavePolicy policy) {
    auto database = m_deps.database;
    RecordSave save;
    save.record = std::move(record);
    QList<RecordSave> saves;
    saves.append(std::move(save));
    const QStringList noDeletions;
    const ModifyResult result =
        co_await database->modifyRecords(kZone, std::move(saves), noDeletions, policy);
    co_return result.overall;
}

QCoro::Task<Result<std::optional<CloudRecord>>> AccountKeys::fetch(QString recordName) {
    auto database = m_deps.database;
    const QStringList names(recordName);
    Result<QList<Result<CloudRecord>>> fetched = co_await database->fetchRecords(kZone, names);
    SONAVERT_CO_TRY(fetched);
    if (fetched.value().isEmpty())
        co_return std::optional<CloudRecord>();
    Result<CloudRecord>& record = fetched.value().first();
    if (!record) {
        if (isCloudError(record.error(), CloudErrorCode::UnknownItem))
            co_return std::optional<CloudRecord>();
        co_return record.error();
    }
    co_return std::optional(std::move(record).value());
}

QCoro::Task<> AccountKeys::remove(QString recordName) {
    auto database = m_deps.database;
    QStringList deletions;
    deletions.append(recordName);
    const QList<RecordSave> noSaves;
    const ModifyResult result =
        co_await database->modifyRecords(kZone, noSaves, std::move(deletions), SavePolicy::AllKeys);
    // A verification record left behind does no harm: the next request replaces it, and an
    // answer counts only for the request it names.
    if (!result.overall.ok())
        logEvent(LogCategory::CloudKit, LogLevel::Debug,
                 "event=key_record_cleanup_failed error=%{public}s",
                 result.overall.error().description);
}

QCoro::Task<Result<QList<KeyedDevice>>> AccountKeys::devices() {
    auto database = m_deps.database;
    QPointer guard(this);
    Result<ZoneChanges> zone = co_await database->fetchZoneChanges(kZone, std::nullopt);
    SONAVERT_CO_TRY(zone);
    if (!guard)
        co_return stopping();
    QList<KeyedDevice> devices;
    for (const CloudRecord& record : std::as_const(zone.value().changed)) {
        if (record.recordType != kDeviceRecordType)
            continue;
        KeyedDevice device;
        device.deviceID = record.string(kDeviceID).value_or(QString());
        device.name = record.string(kDeviceName).value_or(QString());
        device.hasKey = !record.string(kKeyID).value_or(QString()).isEmpty();
        device.isThisDevice = device.deviceID == m_deviceID;
        device.lastPublished = record.modified;
        device.boxKey = bytesField(record, kBoxKey);
        device.boxKeyTag = bytesField(record, kBoxKeyTag);
        devices.append(device);
    }
    co_return devices;
}

QCoro::Task<Result<QString>> AccountKeys::beginVerification(QString name) {
    QPointer guard(this);
    auto clock = m_deps.clock;
    const std::stop_token stop = m_stop.get_token();
    if (!m_ring)
        co_return keysError(4, QStringLiteral("This computer cannot verify others: it does not "
                                              "hold your account's key itself."));
    Result<QList<KeyedDevice>> devices = co_await this->devices();
    SONAVERT_CO_TRY(devices);
    if (!guard)
        co_return stopping();
    Result<KeyedDevice> found =
        otherComputerNamed(devices.value(), name,
                           QStringLiteral("No computer called %1 is signed in to this account "
                                          "with this version of Sonavert."));
    SONAVERT_CO_TRY(found);
    const KeyedDevice target = found.value();

    Result<DeviceKeyPair> ownKey = DeviceKeyPair::generate();
    SONAVERT_CO_TRY(ownKey);
    const QByteArray verificationID = randomBytes(16);
    CloudRecord request;
    request.recordName = verificationRecordName(target.deviceID);
    request.recordType = kVerificationRecordType;
    request.fields.insert(kTargetID, target.deviceID);
    request.fields.insert(kVerifierID, m_deviceID);
    request.fields.insert(kVerifierName, m_deviceName);
    request.fields.insert(kVerificationID, text(verificationID));
    request.fields.insert(kCommitment,
                          text(crypto::keyCommitment(ownKey.value().publicKey(), verificationID)));
    SONAVERT_CO_TRY(co_await save(request, SavePolicy::AllKeys));

    // The other computer looks every two seconds; its answer carries its fresh key.
    QByteArray targetKey;
    const Duration deadline = clock->monotonicNow() + kAnswerTimeout;
    while (targetKey.isEmpty()) {
        if (!guard || clock->monotonicNow() >= deadline ||
            !co_await clock->sleep(kPollInterval, stop) || !guard)
            break;
        Result<std::optional<CloudRecord>> answer = co_await fetch(request.recordName);
        if (!guard)
            break;
        if (answer && answer.value() && bytesField(*answer.value(), kAnsweredID) == verificationID)
            targetKey = bytesField(*answer.value(), kTargetKey);
    }
    if (!guard)
        co_return stopping();
    if (targetKey.size() != DeviceKeyPair::kPublicKeySize) {
        co_await remove(request.recordName);
        co_return keysError(7, QStringLiteral("%1 did not answer: Sonavert has to be running "
                                              "there, signed in to this account.")
                                   .arg(target.name));
    }

    CloudRecord reveal;
    reveal.recordName = request.recordName;
    reveal.recordType = kVerificationRecordType;
    reveal.fields.insert(kVerifierKey, text(ownKey.value().publicKey()));
    SONAVERT_CO_TRY(co_await save(reveal, SavePolicy::ChangedKeys));
    if (!guard)
        co_return stopping();
    const QString code = crypto::confirmationCode(ownKey.value().publicKey(), targetKey);
    m_outgoing.insert_or_assign(
        target.deviceID,
        Outgoing{target.deviceID, target.name, verificationID, targetKey, code, ownKey.value()});
    co_return code;
}

QCoro::Task<Result<void>> AccountKeys::confirmVerification(QString name, QString code) {
    for (const auto& [id, outgoing] : m_outgoing) {
        if (outgoing.targetName.compare(name, Qt::CaseInsensitive) == 0)
            co_return co_await confirmAsVerifier(outgoing, code);
    }
    if (!m_pending || !m_incoming ||
        m_incoming->verifierName.compare(name, Qt::CaseInsensitive) != 0)
        co_return keysError(8, QStringLiteral("No verification with %1 is under way: run "
                                              "'sonavertctl verify %2' on a computer that holds "
                                              "the key.")
                                   .arg(name, m_deviceName));
    if (m_incoming->code.isEmpty())
        co_return keysError(9, QStringLiteral("%1 has not shown its code yet.").arg(name));
    if (digitsOf(code) != m_incoming->code) {
        const QString verifierName = m_incoming->verifierName;
        co_await remove(verificationRecordName(m_deviceID));
        endPending(QStringLiteral("The codes differ, so nothing was shared."));
        co_return keysError(10, QStringLiteral("The codes differ: what %1 sent is not what "
                                               "arrived here, so this computer accepts nothing "
                                               "from it. Start again there; if the codes differ "
                                               "again, something between your computers and the "
                                               "server is changing them.")
                                    .arg(verifierName));
    }
    m_pending->isConfirmed = true;
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

QCoro::Task<Result<void>> AccountKeys::confirmAsVerifier(Outgoing outgoing, QString code) {
    QPointer guard(this);
    m_outgoing.erase(outgoing.targetID);
    const QString recordName = verificationRecordName(outgoing.targetID);
    if (digitsOf(code) != outgoing.code) {
        co_await remove(recordName);
        co_return keysError(10, QStringLiteral("The codes differ: the key that came from %1 is "
                                               "not the one it sent, so nothing was shared. "
                                               "Start again; if the codes differ again, "
                                               "something between your computers and the "
                                               "server is changing them.")
                                    .arg(outgoing.targetName));
    }
    if (!m_ring)
        co_return keysError(4, QStringLiteral("This computer no longer holds the key."));
    QByteArray keys = ringBytes(*m_ring);
    Result<QByteArray> box = outgoing.ownKey.boxFor(outgoing.targetKey, keys);
    wipe(keys);
    SONAVERT_CO_TRY(box);
    CloudRecord boxed;
    boxed.recordName = recordName;
    boxed.recordType = kVerificationRecordType;
    boxed.fields.insert(kBoxedKeys, text(box.value()));
    SONAVERT_CO_TRY(co_await save(boxed, SavePolicy::ChangedKeys));
    if (guard)
        logEvent(LogCategory::CloudKit, LogLevel::Info,
                 "event=account_key_shared device_id=%{public}s", outgoing.targetID);
    co_return Result<void>();
}

void AccountKeys::endPending(const QString& problem) {
    if (m_incoming) {
        IncomingVerification ended = *m_incoming;
        ended.problem = problem;
        setIncoming(ended);
    }
    m_pending.reset();
}

QCoro::Task<Status> AccountKeys::checkVerification(QString account) {
    QPointer guard(this);
    Result<std::optional<CloudRecord>> fetched = co_await fetch(verificationRecordName(m_deviceID));
    SONAVERT_CO_TRY(fetched);
    if (!guard || m_state != State::Unverified)
        co_return Status();
    if (!fetched.value()) {
        if (m_pending)
            endPending(QStringLiteral("The verification was ended on the other computer."));
        co_return Status();
    }
    const CloudRecord& record = *fetched.value();
    const QByteArray verificationID = bytesField(record, kVerificationID);
    if (verificationID.isEmpty())
        co_return Status();
    if (!m_pending || m_pending->verificationID != verificationID) {
        // A new request: answer with a key made for this exchange alone.
        Result<DeviceKeyPair> pair = DeviceKeyPair::generate();
        SONAVERT_CO_TRY(pair);
        m_pending = Pending{verificationID, bytesField(record, kCommitment), pair.value(), {}};
        setIncoming(IncomingVerification{record.string(kVerifierName).value_or(QString()), {}, {}});
        CloudRecord answer;
        answer.recordName = record.recordName;
        answer.recordType = kVerificationRecordType;
        answer.fields.insert(kTargetKey, text(pair.value().publicKey()));
        answer.fields.insert(kAnsweredID, text(verificationID));
        co_return co_await save(std::move(answer), SavePolicy::ChangedKeys);
    }
    if (m_pending->verifierKey.isEmpty()) {
        const QByteArray verifierKey = bytesField(record, kVerifierKey);
        if (verifierKey.isEmpty())
            co_return Status();
        if (crypto::keyCommitment(verifierKey, verificationID) != m_pending->commitment) {
            logEvent(LogCategory::CloudKit, LogLevel::Error,
                     "event=key_verification_refused reason=%{public}s", "commitment");
            endPending(QStringLiteral("The other computer's key was changed on the way, so "
                                      "nothing will be accepted. Start again there."));
            co_return Status();
        }
        m_pending->verifierKey = verifierKey;
        IncomingVerification shown = m_incoming.value_or(IncomingVerification{});
        shown.code = crypto::confirmationCode(verifierKey, m_pending->pair.publicKey());
        setIncoming(shown);
    }
    const QByteArray box = bytesField(record, kBoxedKeys);
    if (!m_pending->isConfirmed || box.isEmpty())
        co_return Status();
    co_return co_await adoptKeys(account, box);
}

QCoro::Task<Status> AccountKeys::adoptKeys(QString account, QByteArray box) {
    QPointer guard(this);
    auto store = m_deps.store;
    Result<QByteArray> opened = m_pending->pair.openFrom(m_pending->verifierKey, box);
    Result<KeyRing> ring = opened ? ringFromBytes(opened.value()) : Result<KeyRing>(opened.error());
    if (opened)
        wipe(opened.value());
    if (!ring) {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=key_verification_refused reason=%{public}s", "box");
        endPending(QStringLiteral("The keys that arrived did not open, so nothing was "
                                  "accepted. Start again there."));
        co_return Status();
    }
    SONAVERT_CO_TRY(co_await keep(account, ring.value()));
    if (!guard)
        co_return Status();
    m_pending.reset();
    setIncoming(std::nullopt);
    logEvent(LogCategory::CloudKit, LogLevel::Info, "event=account_key_received key_id=%{public}s",
             m_ring->current().keyId());
    setState(State::Verified);
    co_await remove(verificationRecordName(m_deviceID));
    if (!guard)
        co_return Status();
    co_return co_await publishThisDevice();
}

} // namespace sonavert
