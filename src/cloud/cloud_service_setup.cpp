// Account check, presence zone and its recovery, the environment line, the legacy subscription.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/service_error.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/app_identity.h"

#include <QCryptographicHash>
#include <QUuid>

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

constexpr char kTokenArchivePrefix[] = "sonavert.change-token.v1:";

class ServiceDatabase final : public PrivateDatabase {};

QString accountStatusText(const Result<AccountStatus>& status) {
    if (!status)
        return QStringLiteral("error");
    switch (status.value()) {
    case AccountStatus::CouldNotDetermine:
        return QStringLiteral("could_not_determine");
    case AccountStatus::Available:
        return QStringLiteral("available");
    case AccountStatus::Restricted:
        return QStringLiteral("restricted");
    case AccountStatus::NoAccount:
        return QStringLiteral("no_account");
    case AccountStatus::TemporarilyUnavailable:
        return QStringLiteral("temporarily_unavailable");
    }
    return QStringLiteral("unknown");
}

constexpr char kBuildConfiguration[] =
#ifdef NDEBUG
    "release";
#else
    "debug";
#endif

} // namespace

QByteArray detail::archiveChangeToken(const QByteArray& token) {
    return QByteArray(kTokenArchivePrefix) + token.toBase64();
}

std::optional<QByteArray> detail::unarchiveChangeToken(const QByteArray& data) {
    if (!data.startsWith(kTokenArchivePrefix))
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        data.mid(int(sizeof kTokenArchivePrefix) - 1), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return std::nullopt;
    return decoded.decoded;
}

CloudKitHandoffService::CloudKitHandoffService(std::shared_ptr<CloudDatabase> database,
                                               std::shared_ptr<UserDefaults> defaults,
                                               std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_database(std::move(database))
    , m_defaults(std::move(defaults))
    , m_clock(std::move(clock))
    , m_sessionID(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()) {
    if (const auto data = m_defaults->data(kChangeTokenKey))
        m_presenceSessionToken = unarchiveChangeToken(*data);
}

CloudKitHandoffService::~CloudKitHandoffService() = default;

RequestOptions CloudKitHandoffService::requestOptions(Duration timeout) const {
    RequestOptions options;
    options.timeout = timeout;
    return options;
}

QString CloudKitHandoffService::presenceRecordName(const QString& deviceID) {
    return QStringLiteral("presence-") + deviceID;
}

QCoro::Task<Result<bool>> CloudKitHandoffService::checkAccount() {
    auto database = m_database;
    const auto status = co_await database->accountStatus(requestOptions());
    SONAVERT_CO_TRY(status);
    co_return status.value() == AccountStatus::Available;
}

QCoro::Task<Result<DatabaseRef>> CloudKitHandoffService::ensureAccountAvailable() {
    if (!m_isAccountAvailable) {
        const std::stop_token stop = m_tasks.token();
        if (!m_accountCheck)
            m_accountCheck = SharedTask<Result<bool>>::start(checkAccount());
        auto check = m_accountCheck;
        const int generation = m_accountGeneration;
        const Result<bool> outcome = co_await check->result();
        if (stop.stop_requested())
            co_return service_error::iCloudUnavailable();
        // Whatever the outcome, the next caller after this one starts a fresh check.
        if (m_accountCheck == check)
            m_accountCheck.reset();
        SONAVERT_CO_TRY(outcome);
        // A check of the account the device has just left says nothing about the next one.
        if (!outcome.value() || generation != m_accountGeneration)
            co_return service_error::iCloudUnavailable();
        m_isAccountAvailable = true;
    }
    co_return DatabaseRef(std::make_shared<ServiceDatabase>());
}

void CloudKitHandoffService::accountChanged() {
    ++m_accountGeneration;
    m_isAccountAvailable = false;
    m_accountCheck.reset();
    m_zoneSetup.reset();
    forgetPresenceZone();
    m_peerMap.clear();
    m_hasFetchedPresenceThisSession = false;
}

QCoro::Task<Status> CloudKitHandoffService::createPresenceZone() {
    auto database = m_database;
    co_return co_await database->saveZone(m_presenceZone, requestOptions());
}

QCoro::Task<Status> CloudKitHandoffService::ensurePresenceZone() {
    if (m_isPresenceZoneReady)
        co_return Status();
    if (m_defaults->isTrue(kZoneCreatedKey)) {
        m_isPresenceZoneReady = true;
        startEnvironmentLog();
        co_return Status();
    }
    const std::stop_token stop = m_tasks.token();
    if (!m_zoneSetup)
        m_zoneSetup = SharedTask<Status>::start(createPresenceZone());
    auto setup = m_zoneSetup;
    const Status created = co_await setup->result();
    if (stop.stop_requested())
        co_return created;
    if (m_zoneSetup == setup)
        m_zoneSetup.reset();
    if (!created)
        co_return created;
    if (!m_isPresenceZoneReady) {
        m_isPresenceZoneReady = true;
        m_defaults->setBool(kZoneCreatedKey, true);
        startEnvironmentLog();
    }
    co_return Status();
}

bool CloudKitHandoffService::isPresenceZoneMissing(const Error& error) {
    const auto isZoneGone = [](const Error& e) {
        return isCloudError(e, CloudErrorCode::ZoneNotFound) ||
               isCloudError(e, CloudErrorCode::UserDeletedZone);
    };
    if (isZoneGone(error))
        return true;
    if (!isCloudError(error, CloudErrorCode::PartialFailure))
        return false;
    return std::any_of(error.itemErrors.begin(), error.itemErrors.end(), isZoneGone);
}

void CloudKitHandoffService::forgetPresenceZone() {
    m_isPresenceZoneReady = false;
    m_presenceSessionToken.reset();
    m_defaults->removeObject(kChangeTokenKey);
    m_defaults->removeObject(kZoneCreatedKey);
}

QCoro::Task<Status> CloudKitHandoffService::withPresenceZoneRecovery(DatabaseRef,
                                                                     PresenceOperation operation) {
    const auto wrapped = [operation]() -> QCoro::Task<Result<bool>> {
        const Status status = co_await operation();
        SONAVERT_CO_TRY(status);
        co_return true;
    };
    const Result<bool> outcome = co_await withZoneRecovery<bool>(wrapped);
    SONAVERT_CO_TRY(outcome);
    co_return Status();
}

void CloudKitHandoffService::startEnvironmentLog() {
    logPresenceEnvironment();
}

QCoro::Task<> CloudKitHandoffService::logPresenceEnvironment() {
    // Runs beside the caller and holds the service weakly; the database it asks is kept alive
    // by its own reference.
    const std::stop_token stop = m_tasks.token();
    auto database = m_database;
    const QString session = shortID(m_sessionID);
    const auto status = co_await database->accountStatus(requestOptions());
    const auto userRecord = co_await database->userRecordName(requestOptions());
    if (stop.stop_requested())
        co_return;
    const QString fingerprint =
        userRecord ? QString::fromLatin1(QCryptographicHash::hash(userRecord.value().toUtf8(),
                                                                  QCryptographicHash::Sha256)
                                             .toHex())
                   : QStringLiteral("unavailable");
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_environment container=%{public}s build_config=%{public}s "
             "account_status=%{public}s "
             "user_fingerprint=%{public}s session_id=%{public}s",
             QString::fromLatin1(app_identity::kContainerIdentifier),
             QString::fromLatin1(kBuildConfiguration), accountStatusText(status), fingerprint,
             session);
}

QCoro::Task<Status> CloudKitHandoffService::removeLegacyPresenceSubscription() {
    if (m_defaults->isTrue(kSubscriptionRemovedKey))
        co_return Status();
    const std::stop_token stop = m_tasks.token();
    if (!co_await ensureAccountAvailable())
        co_return Status();
    auto database = m_database;
    const Status deleted = co_await database->deleteSubscription(
        QStringLiteral("presence-zone-sub"), requestOptions());
    if (stop.stop_requested())
        co_return Status();
    if (deleted.ok()) {
        logEvent(LogCategory::Push, LogLevel::Default,
                 "event=subscription_deleted type=presence_zone");
        m_defaults->setBool(kSubscriptionRemovedKey, true);
    } else if (isCloudError(deleted.error(), CloudErrorCode::UnknownItem)) {
        m_defaults->setBool(kSubscriptionRemovedKey, true);
    }
    co_return Status();
}

} // namespace sonavert
