#pragma once

#include "src/desktop/profile.h"
#include "src/player/library_track.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QFuture>
#include <QHash>
#include <QObject>

namespace sonavert {

inline const QString kLibraryIndexErrorDomain = QStringLiteral("LibraryIndex");

/// Codes of the domain "LibraryIndex"; the text names the file and what the system said.
enum class LibraryIndexErrorCode {
    CannotLoad = 1, ///< the index file could not be read, or is of an unknown form
    CannotSave = 2, ///< a rescan's index could not be written
};
inline QString errorDomain(LibraryIndexErrorCode) {
    return kLibraryIndexErrorDomain;
}

/// What a rescan did: files found, files whose tags were read, files taken unchanged from the
/// index, and audio files that could not be read (left out of the library).
struct LibraryScanStats {
    int filesFound = 0;
    int filesRead = 0;
    int filesReused = 0;
    int filesFailed = 0;
};

namespace detail {
/// One audio file of the index with the size and modification time its tags were read at.
struct IndexedFile {
    QString path;
    qint64 size = 0;
    qint64 modifiedMs = 0;
    LibraryTrack track;
};
struct ScanOutcome {
    QList<IndexedFile> files;
    LibraryScanStats stats;
    QString error; ///< why the index file could not be read or written; empty when it could
};
} // namespace detail

/// The user's music folders as a library: every audio file's tags (read with TagLib), kept in
/// an index file so that a rescan reads only files whose size or modification time changed.
/// Scans and index reads run on a worker thread; the object itself lives on the main thread.
class LibraryIndex final : public QObject, public TrackLibrary {
    Q_OBJECT
public:
    LibraryIndex(QString indexFile, QStringList folders, QObject* parent = nullptr);

    /// The XDG music folder ($XDG_MUSIC_DIR, usually ~/Music).
    static QStringList defaultFolders();
    /// Where a profile keeps its index.
    static QString indexFileIn(const Profile& profile);

    /// Reads the index file as the library, without touching the music folders. A missing
    /// file is an empty library; an unreadable one is an error (and an empty library).
    QCoro::Task<Status> load();
    /// Walks the folders, reads new and changed files, drops vanished ones, saves the index.
    /// Concurrent calls share one scan.
    QCoro::Task<Result<LibraryScanStats>> rescan();

    QStringList folders() const { return m_folders; }
    QList<LibraryTrack> tracks() const override;
    std::optional<LibraryTrack> trackForUrl(const QString& url) const override;
    quint64 revision() const override { return m_revision; }

Q_SIGNALS:
    void tracksChanged();

private:
    void adopt(QList<detail::IndexedFile> files);

    QString m_indexFile;
    QStringList m_folders;
    QList<detail::IndexedFile> m_files;
    QHash<QString, qsizetype> m_byUrl;
    quint64 m_revision = 0;
    std::optional<QFuture<detail::ScanOutcome>> m_runningScan;
};

} // namespace sonavert
