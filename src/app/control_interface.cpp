#include "src/app/control_interface.h"

#include "src/account/account_keys.h"
#include "src/account/account_session.h"
#include "src/account/pairing_link.h"
#include "src/app/control_state.h"
#include "src/app/sparkle_updater.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/control_bus_name.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QJsonDocument>
#include <utility>

namespace sonavert {

namespace {

QString errorName(const char* name) {
    return QString::fromLatin1(app_identity::kControlErrorPrefix) + QLatin1String(name);
}

// Bits of the bus's RequestName: fail rather than wait in line behind another owner; the
// answers that mean this connection owns the name.
constexpr uint kDoNotQueue = 4;
constexpr uint kPrimaryOwner = 1;
constexpr uint kAlreadyOwner = 4;

QDBusMessage requestNameCall(const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    call.setArguments({name, kDoNotQueue});
    return call;
}

} // namespace

ControlInterface::ControlInterface(Parts parts, QObject* parent)
    : QObject(parent)
    , m_coordinator(parts.coordinator)
    , m_session(parts.session)
    , m_keys(parts.keys)
    , m_updater(parts.updater)
    , m_bus(QString()) {
    // Every published value of the coordinator leads to one settle per event-loop turn: a
    // push changes half a dozen of them at once, and watchers want one state, not six.
    using Signal = void (DeviceHandoffViewModel::*)();
    for (const Signal signal :
         {&DeviceHandoffViewModel::devicesChanged,
          &DeviceHandoffViewModel::queuedPushTargetsChanged,
          &DeviceHandoffViewModel::currentStateChanged,
          &DeviceHandoffViewModel::isTransferringChanged, &DeviceHandoffViewModel::isPullingChanged,
          &DeviceHandoffViewModel::activityLabelChanged,
          &DeviceHandoffViewModel::transferErrorChanged, &DeviceHandoffViewModel::syncErrorChanged,
          &DeviceHandoffViewModel::shouldRequestReviewChanged,
          &DeviceHandoffViewModel::isDiscoveringChanged})
        connect(&m_coordinator, signal, this, &ControlInterface::scheduleSettle);
    connect(&m_coordinator, &DeviceHandoffViewModel::pullEnded, this,
            &ControlInterface::finishPull);
    connect(&m_session, &AccountSession::stateChanged, this, &ControlInterface::scheduleSettle);
    connect(&m_keys, &AccountKeys::stateChanged, this, &ControlInterface::scheduleSettle);
    connect(&m_keys, &AccountKeys::incomingChanged, this, &ControlInterface::scheduleSettle);
    connect(&m_updater, &SparkleUpdater::checkFinished, this,
            &ControlInterface::answerUpdateChecks);
    m_lastState = stateJson();
}

ControlInterface::~ControlInterface() {
    m_joinWatch.request_stop();
    for (const QDBusMessage& call : std::as_const(m_heldCalls))
        m_bus.send(call.createErrorReply(errorName("Failed"), stoppedText()));
}

bool ControlInterface::exportOn(QDBusConnection bus) {
    m_bus = bus;
    return m_bus.registerObject(QString::fromLatin1(app_identity::kControlObjectPath), this,
                                QDBusConnection::ExportScriptableSlots |
                                    QDBusConnection::ExportScriptableSignals);
}

namespace {

QString compactJson(const QJsonDocument& document) {
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}

} // namespace

template <typename T, typename Reply>
void ControlInterface::answerWhenDone(QCoro::Task<Result<T>> task, Reply reply) {
    const int ticket = delayCall();
    QCoro::connect(std::move(task), this, [this, ticket, reply](const Result<T>& done) {
        if (!done)
            answerHeld(ticket, done.error().description, QVariant());
        else if constexpr (std::is_void_v<T>)
            answerHeld(ticket, std::nullopt, reply());
        else
            answerHeld(ticket, std::nullopt, reply(done.value()));
    });
}

QString ControlInterface::Keys() {
    answerWhenDone(m_keys.devices(), [](const QList<KeyedDevice>& devices) {
        return QVariant(compactJson(QJsonDocument(keyedDevicesJson(devices))));
    });
    return {};
}

QString ControlInterface::Verify(const QString& device, const QString& code) {
    const bool isJoiner = m_keys.state() == AccountKeys::State::Unverified;
    if (code.trimmed().isEmpty() && isJoiner)
        // This computer waits for the key: the call opens its verification, answers the one
        // `device` starts, and gives the code both show.
        answerWhenDone(verifyHere(device.trimmed()),
                       [](const QString& shown) { return QVariant(shown); });
    else if (code.trimmed().isEmpty())
        answerWhenDone(m_keys.beginVerification(device.trimmed()),
                       [](const QString& shown) { return QVariant(shown); });
    else
        answerWhenDone(confirmHere(device.trimmed(), code), [] { return QVariant(QString()); });
    return {};
}

QCoro::Task<Result<QString>> ControlInterface::verifyHere(QString device) {
    const std::stop_token stop = m_tasks.token();
    ++m_openedHere;
    Result<QString> code = co_await m_keys.awaitIncomingCode(device, {});
    if (!code && !stop.stop_requested())
        closeOpenedHere();
    co_return code;
}

QCoro::Task<Result<void>> ControlInterface::confirmHere(QString device, QString code) {
    const std::stop_token stop = m_tasks.token();
    Result<void> confirmed = co_await m_keys.confirmVerification(device, code);
    // The opening of a 'verify' here ends with its confirmation, whatever it gave.
    if (!stop.stop_requested())
        closeOpenedHere();
    co_return confirmed;
}

void ControlInterface::closeOpenedHere() {
    if (m_openedHere == 0)
        return;
    --m_openedHere;
    m_keys.closeVerification();
}

void ControlInterface::NewKey() {
    answerWhenDone(m_keys.startOver(), [] { return QVariant(); });
}

int ControlInterface::RemoveComputer(const QString& device) {
    answerWhenDone(m_keys.removeComputer(device.trimmed()),
                   [](int sent) { return QVariant(sent); });
    return 0;
}

QString ControlInterface::RemovalPlan(const QString& device) {
    answerWhenDone(m_keys.planRemoval(device.trimmed()), [](const sonavert::RemovalPlan& plan) {
        const QJsonObject json{
            {QStringLiteral("name"), plan.name},
            {QStringLiteral("recipients"), QJsonArray::fromStringList(plan.recipients)},
            {QStringLiteral("leftOut"), QJsonArray::fromStringList(plan.leftOut)}};
        return QVariant(compactJson(QJsonDocument(json)));
    });
    return {};
}

void ControlInterface::SignIn(const QString& server, const QString& code) {
    answerWhenDone(m_session.signIn(QUrl(server.trimmed()), code.trimmed(), {}),
                   [] { return QVariant(); });
}

void ControlInterface::SignInWithLink(const QString& link) {
    // The device reads the link itself: the key it carries is trusted only in a link's shape.
    const auto content = parsePairingLink(QUrl(link.trimmed()));
    if (!content) {
        sendErrorReply(errorName("Failed"),
                       QStringLiteral("'%1' is not a sonavert://pair link.").arg(link.trimmed()));
        return;
    }
    answerWhenDone(m_session.signIn(content->server, content->code, content->serverKey),
                   [] { return QVariant(); });
}

void ControlInterface::SignOut() {
    answerWhenDone(m_session.signOut(), [] { return QVariant(); });
}

QString ControlInterface::Invite() {
    answerWhenDone(inviteNoting(), [](const PairingInvitation& invitation) {
        return QVariant(compactJson(QJsonDocument(invitationJson(invitation))));
    });
    return {};
}

QCoro::Task<Result<PairingInvitation>> ControlInterface::inviteNoting() {
    const std::stop_token stop = m_tasks.token();
    std::optional<QSet<QString>> known;
    const Result<QSet<QString>> ids = co_await m_keys.deviceIDs();
    if (ids)
        known = ids.value();
    if (stop.stop_requested())
        co_return makeError(ControlErrorCode::Stopped, stoppedText());
    Result<PairingInvitation> invitation = co_await m_session.invite();
    if (!stop.stop_requested() && invitation) {
        m_joinWatch.request_stop();
        m_joinWatch = std::stop_source();
        m_invitation = MadeInvitation{known, invitation.value().expires};
    }
    co_return invitation;
}

QString ControlInterface::WaitForNewComputer() {
    if (!m_invitation || !m_invitation->known) {
        sendErrorReply(errorName("Failed"),
                       QStringLiteral("No invitation to wait for: run 'sonavertctl invite' "
                                      "first."));
        return {};
    }
    // A caller that leaves (Ctrl-C) ends the wait, which would otherwise poll for nobody.
    auto* watcher = new QDBusServiceWatcher(message().service(), m_bus,
                                            QDBusServiceWatcher::WatchForUnregistration, this);
    std::stop_source stop = m_joinWatch;
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, watcher,
            [stop]() mutable { stop.request_stop(); });
    const int ticket = delayCall();
    QCoro::connect(
        m_keys.awaitJoiningComputer(*m_invitation->known, m_invitation->expires, stop.get_token()),
        this, [this, ticket, watcher](const Result<KeyedDevice>& joined) {
            watcher->deleteLater();
            if (!joined)
                answerHeld(ticket, joined.error().description, QVariant());
            else
                answerHeld(ticket, std::nullopt, QVariant(joined.value().name));
        });
    return {};
}

void ControlInterface::answerHeld(int ticket, const std::optional<QString>& error,
                                  const QVariant& success) {
    const QDBusMessage call = m_heldCalls.take(ticket);
    if (error)
        m_bus.send(call.createErrorReply(errorName("Failed"), *error));
    else if (success.isValid())
        m_bus.send(call.createReply(success));
    else
        m_bus.send(call.createReply());
}

QString ControlInterface::GetState() {
    return stateJson();
}

bool ControlInterface::Push(const QString& device) {
    const auto target = targetOf(device, QStringLiteral("Cannot push to this device itself."));
    if (!target ||
        replyBusyIf(m_coordinator.isTransferring(), QStringLiteral("A push is already under way.")))
        return false;
    const int ticket = delayCall();
    // The coordinator queues a push to an offline device for when that device starts.
    const bool isQueued = target->presence == DevicePresence::Offline;
    QCoro::connect(m_coordinator.transfer(*target), this,
                   [this, ticket, isQueued] { finishCall(ticket, isQueued); });
    return false;
}

void ControlInterface::Pull(const QString& device) {
    const auto source = targetOf(device, QStringLiteral("Cannot pull from this device itself."));
    if (!source || replyBusyIf(m_coordinator.isTransferring() || m_coordinator.isPulling(),
                               QStringLiteral("A push or pull is already under way.")))
        return;
    m_waitingPull = delayCall();
    // The coordinator's task ends once the request is sent; the pull itself ends later, when
    // the playback has arrived or the wait for it is given up.
    m_coordinator.pull(*source);
}

void ControlInterface::SetFavorite(const QString& device, bool favorite) {
    const auto target =
        targetOf(device, QStringLiteral("This device cannot be its own favourite."));
    if (target && target->isFavorite != favorite)
        m_coordinator.toggleFavorite(*target);
}

void ControlInterface::Forget(const QString& device) {
    const auto target = targetOf(device, QStringLiteral("This device cannot forget itself."));
    if (target)
        m_coordinator.forget(*target);
}

void ControlInterface::ShowWindow() {
    if (!m_showWindow) {
        sendErrorReply(errorName("NoWindow"),
                       QStringLiteral("This Sonavert runs without a window."));
        return;
    }
    m_showWindow();
}

QString ControlInterface::CheckForUpdates() {
    // A check already under way answers this call too: the updater runs one at a time.
    m_waitingUpdateChecks << delayCall();
    m_updater.checkForUpdates();
    return {};
}

void ControlInterface::answerUpdateChecks(const UpdateCheckResult& result) {
    const QString outcome = QString::fromUtf8(
        QJsonDocument(updateCheckJson(result, m_updater.configuration().currentVersion))
            .toJson(QJsonDocument::Compact));
    for (const int ticket : std::exchange(m_waitingUpdateChecks, {}))
        m_bus.send(m_heldCalls.take(ticket).createReply(outcome));
}

std::optional<AppDevice> ControlInterface::targetOf(const QString& query,
                                                    const QString& thisDeviceText) {
    const DeviceLookup lookup =
        lookUpDevice(m_coordinator.devices(), m_coordinator.thisDevice(), query);
    switch (lookup.outcome) {
    case DeviceLookup::Outcome::Found:
        return lookup.device;
    case DeviceLookup::Outcome::ThisDevice:
        sendErrorReply(errorName("ThisDevice"), thisDeviceText);
        break;
    case DeviceLookup::Outcome::Unknown:
        sendErrorReply(errorName("UnknownDevice"),
                       QStringLiteral("No device named or with id '%1'.").arg(query));
        break;
    case DeviceLookup::Outcome::Ambiguous:
        sendErrorReply(errorName("AmbiguousDevice"),
                       QStringLiteral("'%1' names %2 devices: %3. Use the id instead.")
                           .arg(query)
                           .arg(lookup.candidates.size())
                           .arg(lookup.candidates.join(QStringLiteral(", "))));
        break;
    }
    return std::nullopt;
}

bool ControlInterface::replyBusyIf(bool isBusy, const QString& text) {
    if (isBusy)
        sendErrorReply(errorName("Busy"), text);
    return isBusy;
}

int ControlInterface::delayCall() {
    setDelayedReply(true);
    const int ticket = m_nextTicket++;
    m_heldCalls.insert(ticket, message());
    return ticket;
}

void ControlInterface::finishCall(int ticket, const QVariant& success) {
    const QDBusMessage call = m_heldCalls.take(ticket);
    if (const auto& error = m_coordinator.transferError())
        m_bus.send(call.createErrorReply(errorName("Failed"), *error));
    else if (success.isValid())
        m_bus.send(call.createReply(success));
    else
        m_bus.send(call.createReply());
}

void ControlInterface::finishPull() {
    if (m_waitingPull)
        finishCall(*std::exchange(m_waitingPull, std::nullopt), QVariant());
}

void ControlInterface::scheduleSettle() {
    if (m_isSettleScheduled)
        return;
    m_isSettleScheduled = true;
    QMetaObject::invokeMethod(this, &ControlInterface::settle, Qt::QueuedConnection);
}

void ControlInterface::settle() {
    m_isSettleScheduled = false;
    const QString state = stateJson();
    if (state != m_lastState) {
        m_lastState = state;
        Q_EMIT StateChanged(state);
    }
}

QString ControlInterface::stateJson() const {
    QJsonObject state = controlStateJson(m_coordinator);
    state.insert(QStringLiteral("account"), accountStateJson(m_session));
    state.insert(QStringLiteral("keys"), accountKeysStateJson(m_keys));
    return QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact));
}

QStringList controlBusNames(const std::optional<QString>& chosen, const QString& deviceName) {
    if (chosen)
        return {*chosen};
    QStringList names{QString::fromLatin1(app_identity::kControlBusName)};
    const QString own = controlBusNameForInstance(deviceName);
    if (!own.isEmpty())
        names << own;
    return names;
}

QCoro::Task<bool> requestBusName(QDBusConnection bus, QString name) {
    const QDBusPendingCall pending = bus.asyncCall(requestNameCall(name));
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return false;
    const uint answer = reply.arguments().constFirst().toUInt();
    co_return answer == kPrimaryOwner || answer == kAlreadyOwner;
}

} // namespace sonavert
