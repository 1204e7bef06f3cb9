#include "src/player/library_index.h"

#include "src/player/library_scanner_p.h"
#include "src/player/url_normalization.h"

#include <QCoro/QCoroFuture>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

namespace sonavert {

using detail::IndexedFile;
using detail::ScanOutcome;

namespace {

ScanOutcome scanAndSave(QStringList folders, QList<IndexedFile> previous, QString indexFile) {
    ScanOutcome outcome = detail::scanFolders(folders, previous);
    outcome.error = detail::saveIndexFile(indexFile, outcome.files);
    return outcome;
}

} // namespace

LibraryIndex::LibraryIndex(QString indexFile, QStringList folders, QObject* parent)
    : QObject(parent)
    , m_indexFile(std::move(indexFile))
    , m_folders(std::move(folders)) {}

QStringList LibraryIndex::defaultFolders() {
    return QStandardPaths::standardLocations(QStandardPaths::MusicLocation).mid(0, 1);
}

QString LibraryIndex::indexFileIn(const Profile& profile) {
    return profile.dataDirectory + QStringLiteral("/library-index.json");
}

void LibraryIndex::adopt(QList<IndexedFile> files) {
    m_files = std::move(files);
    m_byUrl.clear();
    for (qsizetype i = 0; i < m_files.size(); ++i)
        m_byUrl.insert(normalizedUrl(m_files[i].track.uri), i);
    ++m_revision;
    Q_EMIT tracksChanged();
}

QCoro::Task<Status> LibraryIndex::load() {
    const QString path = m_indexFile;
    const QFuture<ScanOutcome> reading =
        QtConcurrent::run([path] { return detail::loadIndexFile(path); });
    const ScanOutcome loaded = co_await reading;
    adopt(loaded.files);
    if (!loaded.error.isEmpty())
        co_return makeError(LibraryIndexErrorCode::CannotLoad, loaded.error);
    co_return Status();
}

// Concurrent callers await the same scan; each adopts its result, which changes nothing the
// second time.
QCoro::Task<Result<LibraryScanStats>> LibraryIndex::rescan() {
    if (!m_runningScan)
        m_runningScan = QtConcurrent::run(scanAndSave, m_folders, m_files, m_indexFile);
    const QFuture<ScanOutcome> running = *m_runningScan;
    const ScanOutcome outcome = co_await running;
    m_runningScan.reset();
    adopt(outcome.files);
    if (!outcome.error.isEmpty())
        co_return makeError(LibraryIndexErrorCode::CannotSave, outcome.error);
    co_return LibraryScanStats(outcome.stats);
}

QList<LibraryTrack> LibraryIndex::tracks() const {
    QList<LibraryTrack> result;
    result.reserve(m_files.size());
    for (const IndexedFile& file : m_files)
        result.append(file.track);
    return result;
}

std::optional<LibraryTrack> LibraryIndex::trackForUrl(const QString& url) const {
    const auto found = m_byUrl.constFind(normalizedUrl(url));
    if (found == m_byUrl.constEnd())
        return std::nullopt;
    return m_files.at(*found).track;
}

} // namespace sonavert
