#include "src/app/appcast.h"

#include <QVersionNumber>
#include <QXmlStreamReader>

namespace sonavert {

namespace {

const QString kSparkleNamespace =
    QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

Error feedError(const QString& description) {
    return makeError(UpdateFeedErrorCode::Unreadable, description);
}

bool isSparkle(const QXmlStreamReader& xml, QLatin1String name) {
    return xml.namespaceUri() == kSparkleNamespace && xml.name() == name;
}

// Reads one <item> (the reader is on its start element) up to its end element.
AppcastItem readItem(QXmlStreamReader& xml) {
    AppcastItem item;
    QUrl link;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("enclosure") && xml.namespaceUri().isEmpty()) {
            const auto attributes = xml.attributes();
            item.downloadLink = QUrl(attributes.value(QLatin1String("url")).toString());
            if (item.version.isEmpty())
                item.version =
                    attributes.value(kSparkleNamespace, QLatin1String("version")).toString();
            if (item.displayVersion.isEmpty())
                item.displayVersion =
                    attributes.value(kSparkleNamespace, QLatin1String("shortVersionString"))
                        .toString();
            xml.skipCurrentElement();
        } else if (isSparkle(xml, QLatin1String("version"))) {
            item.version = xml.readElementText().trimmed();
        } else if (isSparkle(xml, QLatin1String("shortVersionString"))) {
            item.displayVersion = xml.readElementText().trimmed();
        } else if (isSparkle(xml, QLatin1String("releaseNotesLink"))) {
            item.releaseNotesLink = QUrl(xml.readElementText().trimmed());
        } else if (xml.name() == QLatin1String("title")) {
            item.title = xml.readElementText().trimmed();
        } else if (xml.name() == QLatin1String("description")) {
            item.releaseNotes = xml.readElementText().trimmed();
        } else if (xml.name() == QLatin1String("link")) {
            link = QUrl(xml.readElementText().trimmed());
        } else {
            xml.skipCurrentElement();
        }
    }
    if (item.downloadLink.isEmpty())
        item.downloadLink = link;
    if (item.displayVersion.isEmpty())
        item.displayVersion = item.version;
    return item;
}

} // namespace

int compareVersions(const QString& left, const QString& right) {
    return QVersionNumber::compare(QVersionNumber::fromString(left).normalized(),
                                   QVersionNumber::fromString(right).normalized());
}

Result<Appcast> parseAppcast(const QByteArray& text) {
    QXmlStreamReader xml(text);
    Appcast feed;
    std::optional<AppcastItem>& newest = feed.newest;
    bool hasChannel = false;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("rss"))
        return feedError(xml.hasError() ? xml.errorString() : QStringLiteral("not an RSS feed"));
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("channel")) {
            xml.skipCurrentElement();
            continue;
        }
        hasChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.namespaceUri() == QLatin1String(kSonavertFeedNamespace) &&
                xml.name() == QLatin1String("discontinued")) {
                const QString channel =
                    xml.attributes().value(QLatin1String("channel")).toString().trimmed();
                const QString successor = xml.readElementText().simplified();
                // Without both, there is nothing to tell the user.
                if (!channel.isEmpty() && !successor.isEmpty())
                    feed.successorOfDiscontinued.insert(channel, successor);
                continue;
            }
            if (xml.name() != QLatin1String("item")) {
                xml.skipCurrentElement();
                continue;
            }
            AppcastItem item = readItem(xml);
            // An item without a version cannot be compared with anything: skip it.
            if (!item.version.isEmpty() &&
                (!newest || compareVersions(item.version, newest->version) > 0))
                newest = std::move(item);
        }
    }
    if (xml.hasError())
        return feedError(xml.errorString());
    if (!hasChannel)
        return feedError(QStringLiteral("the feed has no channel"));
    return feed;
}

} // namespace sonavert
