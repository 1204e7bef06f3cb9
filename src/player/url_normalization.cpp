#include "src/player/url_normalization.h"

#include <QDir>
#include <QUrl>

namespace sonavert {

QString normalizedUrl(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    // A bare absolute path is what some players report instead of a file URL.
    QUrl url = trimmed.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(trimmed)
                                                    : QUrl(trimmed, QUrl::TolerantMode);
    if (!url.isValid())
        return {};
    if (url.isLocalFile())
        return QStringLiteral("file://") + QDir::cleanPath(url.toLocalFile());
    url = url.adjusted(QUrl::NormalizePathSegments);
    url.setScheme(url.scheme().toLower());
    url.setHost(url.host().toLower());
    return url.toString(QUrl::PrettyDecoded);
}

bool isSameUrl(const QString& a, const QString& b) {
    const QString left = normalizedUrl(a);
    return !left.isEmpty() && left == normalizedUrl(b);
}

} // namespace sonavert
