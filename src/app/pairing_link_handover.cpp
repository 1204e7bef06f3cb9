#include "src/app/pairing_link_handover.h"

#include "src/account/pairing_link_inbox.h"
#include "src/runtime/command_line_text.h"
#include "src/runtime/log_channel.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>

namespace sonavert {

namespace {

QDBusMessage openCall(const QString& busName, const QString& link) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        busName, QString::fromLatin1(PairingLinkInbox::kObjectPath),
        QString::fromLatin1(PairingLinkInbox::kInterface), QStringLiteral("Open"));
    call.setArguments({link});
    return call;
}

} // namespace

void sayOnTerminal(const QString& text) {
    command_line::say(QStringLiteral("sonavert"), text);
}

bool offerPairingLinkInbox(QDBusConnection bus, PairingLinkInbox* inbox) {
    return bus.registerObject(QString::fromLatin1(PairingLinkInbox::kObjectPath), inbox,
                              QDBusConnection::ExportScriptableSlots);
}

QCoro::Task<int> handOverPairingLink(QDBusConnection bus, QString busName, QString link) {
    const QDBusPendingCall pending = bus.asyncCall(openCall(busName, link));
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        sayOnTerminal(
            QStringLiteral("already running on this profile, but it did not take the link: %1")
                .arg(reply.errorMessage()));
        co_return 1;
    }
    if (!reply.arguments().value(0).toBool()) {
        sayOnTerminal(
            QStringLiteral("the running Sonavert refused the link: it is not a pairing link."));
        co_return 1;
    }
    sayOnTerminal(
        QStringLiteral("already running on this profile; the pairing link was handed to it, "
                       "to be confirmed there."));
    co_return 0;
}

void logPendingPairingLink(const PairingLinkInbox& inbox) {
    const auto pending = inbox.pendingPairingLink();
    if (!pending)
        return;
    const QString link =
        makePairingLink(pending->server, pending->code).toString(QUrl::FullyEncoded);
    developerLog(QStringLiteral("pairing: a link to sign in to %1 arrived; nothing is signed in "
                                "until you confirm it with: sonavertctl sign-in '%2'")
                     .arg(pending->server.toString(), link));
}

} // namespace sonavert
