#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert {

inline const QString kUpdateFeedErrorDomain = QStringLiteral("UpdateFeed");

/// The one code of the domain "UpdateFeed": the feed is not an RSS feed we can read.
enum class UpdateFeedErrorCode { Unreadable = 1 };
inline QString errorDomain(UpdateFeedErrorCode) {
    return kUpdateFeedErrorDomain;
}

/// One release offered by the update feed.
struct AppcastItem {
    QString version;        ///< compared with the running version ("1.4.2")
    QString displayVersion; ///< what the user is shown; the version when the feed gives none
    QString title;
    QString releaseNotes;  ///< the item's description (text or HTML)
    QUrl releaseNotesLink; ///< a page with the notes, when the feed links one
    QUrl downloadLink;     ///< the package, or else the release's page

    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

/// The namespace of the feed's elements that are ours rather than the appcast format's.
inline constexpr char kSonavertFeedNamespace[] = "https://sonavert.io/xml-namespaces/feed";

/// What the update feed says.
struct Appcast {
    std::optional<AppcastItem> newest; ///< none when the channel lists no versioned item
    /// Download channels no longer updated (the `channel` attribute of
    /// `<sonavert:discontinued>`), each with the channel to move to (its text).
    QMap<QString, QString> successorOfDiscontinued;
};

/// Reads an RSS appcast: its newest release (items with `sparkle:version` elements or enclosure
/// attributes) and its discontinued download channels. Text that is not well-formed XML, or
/// not an RSS channel, is an error.
Result<Appcast> parseAppcast(const QByteArray& xml);

/// Orders dotted versions numerically ("1.10" after "1.9", "1.2" equal to "1.2.0"); negative,
/// zero or positive like strcmp.
int compareVersions(const QString& left, const QString& right);

} // namespace sonavert
