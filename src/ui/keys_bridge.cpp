#include "src/ui/keys_bridge.h"

#include "src/account/account_keys.h"

namespace sonavert {

namespace {

const QString kMismatchText =
    QStringLiteral("You said the codes differ, so nothing was shared. Start again; if they "
                   "differ again, something between your computers and the server is "
                   "changing them.");

} // namespace

KeysBridge::KeysBridge(AccountKeys* keys, QObject* parent)
    : QObject(parent)
    , m_keys(keys) {
    if (!keys)
        return;
    connect(keys, &AccountKeys::stateChanged, this, [this] {
        // The key arrived after this computer's user confirmed: the exchange is over.
        if (m_isOpen && m_isIncoming && m_keys->state() == AccountKeys::State::Verified)
            setPhase(Phase::Done, QStringLiteral("This computer can read your playback now."));
        Q_EMIT changed();
    });
    connect(keys, &AccountKeys::incomingChanged, this, &KeysBridge::onIncomingChanged);
    onIncomingChanged();
}

KeysBridge::~KeysBridge() {
    if (m_holdsOpening && m_keys)
        m_keys->closeVerification();
}

bool KeysBridge::lacksKey() const {
    return m_keys && m_keys->state() == AccountKeys::State::Unverified;
}

bool KeysBridge::canVerifyOthers() const {
    return m_keys && m_keys->state() == AccountKeys::State::Verified;
}

QString KeysBridge::code() const {
    return m_code.size() == 6 ? m_code.left(3) + QLatin1Char(' ') + m_code.mid(3) : m_code;
}

QString KeysBridge::bannerText() const {
    if (!m_keys)
        return {};
    const auto& incoming = m_keys->incoming();
    if (incoming && !incoming->isAnswered)
        return QStringLiteral("%1 asks to share your account's key with this computer. Choose "
                              "\u201cVerify This Computer\u2026\u201d to answer.")
            .arg(incoming->verifierName);
    if (m_keys->lostFirstKey())
        return QStringLiteral("Another of your computers made your account's key a moment "
                              "before this one. On it, choose \u201cVerify Another "
                              "Computer\u2026\u201d in the account menu, then "
                              "\u201cVerify This Computer\u2026\u201d here.");
    return QStringLiteral("Your songs are sealed with a key this computer does not have yet. On "
                          "a computer that has it, choose \u201cVerify Another "
                          "Computer\u2026\u201d in the account menu, then \u201cVerify This "
                          "Computer\u2026\u201d here.");
}

void KeysBridge::openIncoming() {
    if (!lacksKey())
        return;
    if (!m_holdsOpening) {
        m_holdsOpening = true;
        m_keys->openVerification();
    }
    m_isOpen = true;
    m_isIncoming = true;
    m_isJoining = false;
    m_code.clear();
    m_otherName.clear();
    setPhase(Phase::Waiting, QStringLiteral("Waiting for one of your computers to verify this "
                                            "one: on a computer that reads your playback, "
                                            "choose \u201cVerify Another Computer\u2026\u201d."));
    onIncomingChanged();
}

void KeysBridge::onIncomingChanged() {
    const auto& incoming = m_keys->incoming();
    // A request nobody here has opened the verification for is only the banner's news.
    if (!incoming || !incoming->isAnswered) {
        Q_EMIT changed();
        return;
    }
    // Another computer's verification takes the dialog over, except while the user is in
    // the middle of one this computer started.
    if (m_isOpen && !m_isIncoming && m_phase != Phase::Done && m_phase != Phase::Failed)
        return;
    const bool isNew = !m_isOpen || !m_isIncoming || m_otherName != incoming->verifierName;
    m_isOpen = true;
    m_isIncoming = true;
    m_isJoining = false;
    m_otherName = incoming->verifierName;
    m_code = incoming->code;
    if (!incoming->problem.isEmpty())
        setPhase(Phase::Failed, incoming->problem);
    else if (m_code.isEmpty())
        setPhase(Phase::Waiting, QStringLiteral("%1 is verifying this computer; its code comes "
                                                "in a moment.")
                                     .arg(m_otherName));
    else if (isNew || m_phase == Phase::Waiting)
        setPhase(Phase::Comparing);
    else
        Q_EMIT changed();
}

void KeysBridge::setPhase(Phase phase, QString message) {
    m_phase = phase;
    m_message = std::move(message);
    Q_EMIT changed();
}

void KeysBridge::open() {
    if (!canVerifyOthers())
        return;
    m_isOpen = true;
    m_isIncoming = false;
    m_isJoining = false;
    m_otherName.clear();
    m_code.clear();
    m_candidates.clear();
    setPhase(Phase::Choosing, QStringLiteral("Looking for your computers\u2026"));
    listCandidates(++m_request);
}

QCoro::Task<> KeysBridge::listCandidates(int request) {
    const std::stop_token stop = m_tasks.token();
    auto keys = m_keys;
    const Result<QList<KeyedDevice>> devices = co_await keys->devices();
    if (stop.stop_requested() || request != m_request)
        co_return;
    if (!devices) {
        setPhase(Phase::Failed, devices.error().description);
        co_return;
    }
    m_candidates.clear();
    for (const KeyedDevice& device : devices.value())
        if (!device.hasKey && !device.isThisDevice)
            m_candidates << device.name;
    setPhase(Phase::Choosing,
             m_candidates.isEmpty()
                 ? QStringLiteral("Every computer of this account can read your playback.")
                 : QStringLiteral("Which computer should read your playback?"));
}

void KeysBridge::choose(const QString& name) {
    if (!m_isOpen || m_isIncoming || m_phase != Phase::Choosing || !m_candidates.contains(name))
        return;
    m_otherName = name;
    setPhase(Phase::Waiting,
             QStringLiteral("Waiting for %1\u2026 Sonavert has to be running there.").arg(name));
    begin(++m_request, name);
}

void KeysBridge::verify(const QString& name, bool isJoining) {
    const bool isUnderWay = m_isOpen && m_phase != Phase::Done && m_phase != Phase::Failed &&
                            !(m_phase == Phase::Choosing && !m_isIncoming);
    if (!canVerifyOthers() || isUnderWay)
        return;
    m_isOpen = true;
    m_isIncoming = false;
    m_isJoining = isJoining;
    m_code.clear();
    m_candidates = QStringList{name};
    m_phase = Phase::Choosing;
    choose(name);
}

QCoro::Task<> KeysBridge::begin(int request, QString name) {
    const std::stop_token stop = m_tasks.token();
    auto keys = m_keys;
    const Result<QString> code = co_await keys->beginVerification(name);
    if (stop.stop_requested() || request != m_request)
        co_return;
    if (!code) {
        setPhase(Phase::Failed, code.error().description);
        co_return;
    }
    m_code = code.value();
    setPhase(Phase::Comparing);
}

void KeysBridge::confirmMatch() {
    if (!m_isOpen || m_phase != Phase::Comparing)
        return;
    setPhase(Phase::Sharing,
             m_isIncoming ? QStringLiteral("Waiting for the key from %1\u2026").arg(m_otherName)
                          : QStringLiteral("Sharing the key\u2026"));
    confirm(++m_request, m_code);
}

void KeysBridge::reportMismatch() {
    if (!m_isOpen || m_phase != Phase::Comparing)
        return;
    setPhase(Phase::Sharing, QStringLiteral("Ending the verification\u2026"));
    // An empty code never matches: the exchange ends on both sides and nothing is shared.
    confirm(++m_request, QString());
}

QCoro::Task<> KeysBridge::confirm(int request, QString code) {
    const std::stop_token stop = m_tasks.token();
    auto keys = m_keys;
    const bool isMatch = !code.isEmpty();
    const Result<void> done = co_await keys->confirmVerification(m_otherName, code);
    if (stop.stop_requested() || request != m_request)
        co_return;
    if (!isMatch) {
        setPhase(Phase::Failed, kMismatchText);
        co_return;
    }
    if (!done) {
        setPhase(Phase::Failed, done.error().description);
        co_return;
    }
    if (!m_isIncoming)
        setPhase(Phase::Done, QStringLiteral("%1 can read your playback as soon as you confirm "
                                             "the same code there.")
                                  .arg(m_otherName));
    else if (m_keys->state() == AccountKeys::State::Verified)
        setPhase(Phase::Done, QStringLiteral("This computer can read your playback now."));
}

void KeysBridge::close() {
    ++m_request;
    m_isOpen = false;
    if (m_holdsOpening) {
        m_holdsOpening = false;
        if (m_keys)
            m_keys->closeVerification();
    }
    Q_EMIT changed();
}

} // namespace sonavert
