#include "src/ui/sign_in_bridge.h"

#include "src/account/account_session.h"
#include "src/account/cloud_server_browser.h"
#include "src/account/home_server.h"
#include "src/account/pairing_link.h"
#include "src/desktop/user_defaults.h"
#include "src/ui/sign_in_input.h"
#include "src/ui/window_texts.h"

#include <QVariantMap>

namespace sonavert {

SignInBridge::SignInBridge(AccountSession* session, CloudServerBrowser* browser,
                           std::shared_ptr<UserDefaults> defaults, HomeServer* homeServer,
                           QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_browser(browser)
    , m_defaults(std::move(defaults))
    , m_homeServer(homeServer)
    , m_serverAddress(m_defaults->string(kLastServerKey).value_or(QString())) {
    if (m_session)
        connect(m_session, &AccountSession::stateChanged, this, &SignInBridge::onSessionChanged);
    if (m_browser)
        connect(m_browser, &CloudServerBrowser::serversChanged, this,
                &SignInBridge::onServersChanged);
}

SignInBridge::~SignInBridge() {
    setActive(false);
}

QVariantList SignInBridge::foundServers() const {
    QVariantList servers;
    if (!m_browser)
        return servers;
    const auto typed = sign_in_input::serverUrl(m_serverAddress);
    const QString typedText = typed ? window_texts::serverText(*typed) : QString();
    for (const FoundCloudServer& server : m_browser->servers()) {
        QVariantMap entry;
        entry[QStringLiteral("name")] = server.name;
        const QString address = window_texts::serverText(server.url);
        entry[QStringLiteral("address")] = address;
        entry[QStringLiteral("picked")] = address == typedText;
        servers << entry;
    }
    return servers;
}

bool SignInBridge::canSignIn() const {
    return m_session && !isBusy() && sign_in_input::serverUrl(m_serverAddress) &&
           sign_in_input::isCompleteCode(m_code);
}

bool SignInBridge::canCreateAccount() const {
    return offersServerSetUp() && !isBusy() && !m_accountName.trimmed().isEmpty();
}

bool SignInBridge::offersServerSetUp() const {
    if (!m_session)
        return false;
    // With no address typed, the server to set up is this computer's own for the home.
    if (m_serverAddress.trimmed().isEmpty())
        return m_homeServer != nullptr;
    const auto server = sign_in_input::serverUrl(m_serverAddress);
    return server && sign_in_input::isThisComputer(*server);
}

bool SignInBridge::isBusy() const {
    return m_isClaiming || (m_session && m_session->state() == AccountSession::State::SigningIn);
}

QString SignInBridge::errorText() const {
    if (!m_error.isEmpty() || !m_session || isBusy())
        return m_error;
    return m_session->lastError();
}

QString SignInBridge::hintText() const {
    if (sign_in_input::hasForeignSymbol(m_code))
        return window_texts::kCodeSymbolsHint;
    if (!m_serverAddress.trimmed().isEmpty() && !sign_in_input::serverUrl(m_serverAddress))
        return window_texts::kServerAddressHint;
    return m_isFromLink ? window_texts::kPairingLinkNotice : QString();
}

void SignInBridge::setServerAddress(const QString& address) {
    if (m_serverAddress == address)
        return;
    m_serverAddress = address;
    m_isFromLink = false;
    Q_EMIT changed();
}

void SignInBridge::setCode(const QString& typed) {
    // Always told: the field shows what was typed until the grouped form comes back.
    m_code = sign_in_input::groupedCode(typed);
    m_isFromLink = false;
    Q_EMIT changed();
}

void SignInBridge::setAccountName(const QString& name) {
    if (m_accountName == name)
        return;
    m_accountName = name;
    Q_EMIT changed();
}

void SignInBridge::setActive(bool active) {
    if (m_isActive == active)
        return;
    m_isActive = active;
    if (!m_browser)
        return;
    if (active) {
        m_browser->start();
        offerSingleServer();
    } else {
        m_browser->stop();
    }
}

void SignInBridge::pickServer(int index) {
    if (!m_browser || index < 0 || index >= m_browser->servers().size())
        return;
    setServerAddress(window_texts::serverText(m_browser->servers().at(index).url));
}

void SignInBridge::signIn() {
    if (!canSignIn())
        return;
    const QUrl server = *sign_in_input::serverUrl(m_serverAddress);
    // The link's key belongs to the link's server: an address typed over it names another.
    const QByteArray serverKey =
        m_linkServer && *m_linkServer == server ? m_linkServerKey : QByteArray();
    clearOutcome();
    claim(m_session->signIn(server, m_code, serverKey));
}

void SignInBridge::setUpThisComputer() {
    if (!offersServerSetUp() || m_step == Step::NameAccount)
        return;
    m_step = Step::NameAccount;
    Q_EMIT changed();
}

void SignInBridge::createAccount() {
    if (!canCreateAccount())
        return;
    if (m_serverAddress.trimmed().isEmpty()) {
        clearOutcome();
        claim(setUpHomeServer(m_accountName.trimmed()));
        return;
    }
    const QUrl server = *sign_in_input::serverUrl(m_serverAddress);
    clearOutcome();
    claim(m_session->createFirstAccount(server, m_accountName.trimmed()));
}

QCoro::Task<Result<void>> SignInBridge::setUpHomeServer(QString accountName) {
    const std::stop_token stop = m_tasks.token();
    const Result<QUrl> server = co_await m_homeServer->ensureRunning();
    if (stop.stop_requested())
        co_return makeError(SignInErrorCode::Stopped, stoppedText());
    if (!server)
        co_return server.error();
    m_serverAddress = window_texts::serverText(server.value());
    co_return co_await m_session->createFirstAccount(server.value(), accountName);
}

void SignInBridge::back() {
    if (m_step == Step::EnterCode || isBusy())
        return;
    m_step = Step::EnterCode;
    m_error.clear();
    Q_EMIT changed();
}

bool SignInBridge::showPairingLink(const QUrl& link) {
    const auto content = parsePairingLink(link);
    if (!content || isBusy())
        return false;
    m_serverAddress = window_texts::serverText(content->server);
    m_linkServer = sign_in_input::serverUrl(m_serverAddress);
    m_linkServerKey = content->serverKey;
    m_code = sign_in_input::groupedCode(content->code);
    m_step = Step::EnterCode;
    m_error.clear();
    m_isFromLink = true;
    Q_EMIT changed();
    return true;
}

void SignInBridge::clearOutcome() {
    m_error.clear();
    m_isFromLink = false;
    m_isClaiming = true;
    // The address is kept even when the claim fails: the next try starts from it.
    m_defaults->setString(kLastServerKey, m_serverAddress.trimmed());
    Q_EMIT changed();
}

QCoro::Task<> SignInBridge::claim(QCoro::Task<Result<void>> call) {
    const std::stop_token stop = m_tasks.token();
    const Result<void> result = co_await call;
    if (stop.stop_requested())
        co_return;
    m_isClaiming = false;
    if (!result)
        m_error = result.error().description;
    Q_EMIT changed();
}

void SignInBridge::onSessionChanged() {
    if (m_session->state() == AccountSession::State::SignedIn) {
        // A fresh screen next time: a used code is worth nothing.
        m_code.clear();
        m_accountName.clear();
        m_error.clear();
        m_step = Step::EnterCode;
    }
    Q_EMIT changed();
}

void SignInBridge::onServersChanged() {
    offerSingleServer();
    Q_EMIT changed();
}

void SignInBridge::offerSingleServer() {
    // At home there is usually one server: offer it when nothing was typed yet.
    const QList<FoundCloudServer> servers = m_browser->servers();
    if (m_serverAddress.trimmed().isEmpty() && servers.size() == 1) {
        m_serverAddress = window_texts::serverText(servers.first().url);
        Q_EMIT changed();
    }
}

} // namespace sonavert
