#include "src/player/link_router.h"

#include "src/player/catalog_links.h"

#include <QProcess>
#include <QUrlQuery>

namespace sonavert {

namespace {

Error linkError(LinkErrorCode code, const QString& text) {
    return makeError(code, text);
}

bool isRunShortcutLink(const QUrl& url) {
    return url.scheme().compare(QLatin1String("shortcuts"), Qt::CaseInsensitive) == 0 &&
           url.host().compare(QLatin1String("run-shortcut"), Qt::CaseInsensitive) == 0;
}

bool isShortcutFileLink(const QUrl& url) {
    return url.isLocalFile() && url.path().endsWith(QLatin1String(".shortcut"));
}

LibraryTrack trackOf(const LibrarySong& song) {
    return LibraryTrack{song.title,    song.artistName, song.albumTitle,
                        song.duration, song.fileUri,    {}};
}

} // namespace

QCoro::Task<Status> XdgOpenLauncher::openUrl(QUrl url) {
    const QString text = url.toString(QUrl::FullyEncoded);
    if (!QProcess::startDetached(QString::fromUtf8("xdg-open"), QStringList(text)))
        co_return linkError(LinkErrorCode::OpenerNotStarted,
                            QString::fromUtf8("xdg-open could not be started."));
    co_return Status();
}

LinkRouter::LinkRouter(Parts parts)
    : m_parts(std::move(parts)) {}

QCoro::Task<Status> LinkRouter::open(QString link) {
    const QUrl url(link.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        co_return linkError(LinkErrorCode::NotALink, QString::fromUtf8("Not a link: ") + link);
    if (const std::optional<CatalogLink> catalogLink = parseCatalogLink(link)) {
        if (catalogLink->kind == CatalogLink::Kind::Song)
            co_return co_await playSong(catalogLink->id);
        co_return co_await playStation(catalogLink->id);
    }
    if (isRunShortcutLink(url))
        co_return co_await runShortcut(url);
    if (isShortcutFileLink(url))
        co_return co_await importShortcut(url);
    co_return co_await m_parts.desktop->openUrl(url);
}

QCoro::Task<Status> LinkRouter::playSong(QString id) {
    const Result<std::optional<LibrarySong>> found = co_await m_parts.catalog->lookUpSong(id);
    SONAVERT_CO_TRY(found);
    if (!found.value())
        co_return linkError(LinkErrorCode::NotInCatalog,
                            QString::fromUtf8("No song in the catalog has the id ") + id);
    const Status activated = co_await m_parts.player->activate();
    if (!activated.ok())
        co_return Status(activated);
    co_return co_await m_parts.player->playTrack(trackOf(*found.value()));
}

QCoro::Task<Status> LinkRouter::playStation(QString id) {
    const Result<std::optional<RadioStation>> found = co_await m_parts.catalog->lookUpStation(id);
    SONAVERT_CO_TRY(found);
    if (!found.value())
        co_return linkError(LinkErrorCode::NotInCatalog,
                            QString::fromUtf8("No station in the catalog has the id ") + id);
    const Status activated = co_await m_parts.player->activate();
    if (!activated.ok())
        co_return Status(activated);
    co_return co_await m_parts.player->openLocation(found.value()->streamUrl);
}

QCoro::Task<Status> LinkRouter::runShortcut(QUrl url) {
    const QUrlQuery query(url);
    const QString name = query.queryItemValue(QString::fromUtf8("name"), QUrl::FullyDecoded);
    const QString input = query.queryItemValue(QString::fromUtf8("input"), QUrl::FullyDecoded);
    if (name.isEmpty())
        co_return linkError(LinkErrorCode::NoShortcutNamed,
                            QString::fromUtf8("The Shortcut link names no Shortcut."));
    if (!m_parts.shortcuts)
        co_return linkError(LinkErrorCode::NoShortcutsTool,
                            QString::fromUtf8("No Shortcuts tool is available."));
    co_return co_await m_parts.shortcuts->runShortcut(name, input);
}

QCoro::Task<Status> LinkRouter::importShortcut(QUrl url) {
    if (m_parts.shortcuts) {
        const QString path = url.toLocalFile();
        const Status asked = co_await m_parts.shortcuts->importShortcut(path);
        if (asked.ok())
            co_return Status();
    }
    // Nobody could be asked here; the desktop may still know what to do with the file.
    co_return co_await m_parts.desktop->openUrl(url);
}

} // namespace sonavert
