#include "src/ui/window_texts.h"

#include <QUrlQuery>
#include <cmath>
#include <limits>

namespace sonavert::window_texts {

namespace {

QString orQuestionMark(const QString& value) {
    return value.isEmpty() ? QStringLiteral("?") : value;
}

QUrl mailLink(const QString& address, const QString& subject, const QString& body) {
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(address);
    QUrlQuery query;
    // Percent-encode everything a mail client could misread; spaces as %20, not "+".
    const QString encodedBody = QString::fromUtf8(QUrl::toPercentEncoding(body));
    query.addQueryItem(QStringLiteral("subject"),
                       QString::fromUtf8(QUrl::toPercentEncoding(subject)));
    query.addQueryItem(QStringLiteral("body"), encodedBody);
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

} // namespace

QString elapsedTimeText(double playbackTime) {
    // Whole seconds toward zero; anything a signed 64-bit count cannot hold shows 0:00.
    constexpr double kLimit = 9.2e18;
    if (!std::isfinite(playbackTime) || std::fabs(playbackTime) >= kLimit)
        return QStringLiteral("0:00");
    const qint64 seconds = static_cast<qint64>(std::trunc(playbackTime));
    const qint64 minutes = seconds / 60;
    return QString::asprintf("%lld:%02lld", static_cast<long long>(minutes),
                             static_cast<long long>(seconds - 60 * minutes));
}

QString discontinuedVersionText(const QString& successorChannel) {
    return QStringLiteral("Use \u201cGet download link via email\u201d to get the supported "
                          "version: %1.")
        .arg(successorChannel);
}

QString versionLine(const QString& shortVersion, const QString& build) {
    return QStringLiteral("Sonavert version ") + orQuestionMark(shortVersion) +
           QStringLiteral(" (") + orQuestionMark(build) + QStringLiteral(")");
}

QString versionAccessibilityLabel(const QString& shortVersion, const QString& build) {
    return QStringLiteral("Sonavert version ") + orQuestionMark(shortVersion) +
           QStringLiteral(", build ") + orQuestionMark(build);
}

std::optional<QUrl> downloadLinkRequest(const QString& supportAddress) {
    const QUrl url = mailLink(supportAddress, QStringLiteral("Sonavert Download Link"),
                              QStringLiteral("Hi,\n\nCould you send me a download link for "
                                             "Sonavert?\n\nThanks!"));
    if (!url.isValid() || supportAddress.isEmpty())
        return std::nullopt;
    return url;
}

QString supportMailFooter(const QString& shortVersion, const QString& build,
                          const QString& osVersion, const QString& hardwareModel) {
    const QString model =
        hardwareModel.trimmed().isEmpty() ? QStringLiteral("Computer") : hardwareModel;
    return QStringLiteral("\n\n\u2014\u2014 Please describe your issue above this line "
                          "\u2014\u2014\nApp: Sonavert ") +
           orQuestionMark(shortVersion) + QStringLiteral(" (") + orQuestionMark(build) +
           QStringLiteral(")\nOS: ") + osVersion + QStringLiteral("\nDevice: ") + model;
}

QUrl supportMailLink(const QString& supportAddress, const QString& footer) {
    QUrl url = mailLink(supportAddress, kSupportSubject, footer);
    if (url.isValid())
        return url;
    return QUrl(QStringLiteral("mailto:") + supportAddress);
}

QString serverText(const QUrl& server) {
    return server.toString(QUrl::RemoveUserInfo | QUrl::StripTrailingSlash);
}

QString invitationTimeLeft(double secondsLeft) {
    if (!(secondsLeft > 0))
        return kCodeExpired;
    return QStringLiteral("Expires in ") + elapsedTimeText(std::ceil(secondsLeft));
}

QString accountLine(const QString& accountName, const QUrl& server) {
    const QString where =
        server.host() + (server.port() > 0 ? QStringLiteral(":%1").arg(server.port()) : QString());
    if (accountName.isEmpty())
        return QStringLiteral("Signed in on ") + where;
    return accountName + QStringLiteral(" on ") + where;
}

QString signOutQuestion(const QString& accountName) {
    const QString account = accountName.isEmpty()
                                ? QStringLiteral("the account")
                                : QStringLiteral("\u201c") + accountName + QStringLiteral("\u201d");
    return QStringLiteral("This computer leaves ") + account +
           QStringLiteral(" and stops seeing your other computers until it signs in again.");
}

} // namespace sonavert::window_texts
