#include "src/player/library_scanner_p.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

namespace sonavert::detail {

namespace {

constexpr int kIndexVersion = 1;

// The containers TagLib reads tags and lengths from.
const QStringList& audioPatterns() {
    static const QStringList patterns{
        QStringLiteral("*.flac"), QStringLiteral("*.ogg"), QStringLiteral("*.oga"),
        QStringLiteral("*.opus"), QStringLiteral("*.spx"), QStringLiteral("*.mp3"),
        QStringLiteral("*.m4a"),  QStringLiteral("*.mp4"), QStringLiteral("*.aac"),
        QStringLiteral("*.wav"),  QStringLiteral("*.aif"), QStringLiteral("*.aiff"),
        QStringLiteral("*.wma"),  QStringLiteral("*.ape"), QStringLiteral("*.wv"),
        QStringLiteral("*.mpc")};
    return patterns;
}

QString fromTagLib(const TagLib::String& text) {
    return QString::fromUtf8(text.toCString(true)).trimmed();
}

QJsonObject toJson(const IndexedFile& file) {
    return QJsonObject{{QStringLiteral("path"), file.path},
                       {QStringLiteral("size"), file.size},
                       {QStringLiteral("modifiedMs"), file.modifiedMs},
                       {QStringLiteral("name"), file.track.name},
                       {QStringLiteral("artist"), file.track.artist},
                       {QStringLiteral("album"), file.track.album},
                       {QStringLiteral("duration"), file.track.duration},
                       {QStringLiteral("recordingID"), file.track.recordingID}};
}

IndexedFile fromJson(const QJsonObject& object) {
    IndexedFile file;
    file.path = object.value(QStringLiteral("path")).toString();
    file.size = object.value(QStringLiteral("size")).toInteger();
    file.modifiedMs = object.value(QStringLiteral("modifiedMs")).toInteger();
    file.track.name = object.value(QStringLiteral("name")).toString();
    file.track.artist = object.value(QStringLiteral("artist")).toString();
    file.track.album = object.value(QStringLiteral("album")).toString();
    file.track.duration = object.value(QStringLiteral("duration")).toDouble();
    file.track.recordingID = object.value(QStringLiteral("recordingID")).toString();
    file.track.uri = QUrl::fromLocalFile(file.path).toString(QUrl::FullyEncoded);
    return file;
}

QStringList audioFilesIn(const QStringList& folders) {
    QStringList paths;
    for (const QString& folder : folders) {
        QDirIterator it(folder, audioPatterns(), QDir::Files | QDir::Readable,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext())
            paths.append(QFileInfo(it.next()).absoluteFilePath());
    }
    paths.sort();
    paths.removeDuplicates();
    return paths;
}

} // namespace

std::optional<LibraryTrack> readAudioFile(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    TagLib::FileRef ref(encoded.constData(), true, TagLib::AudioProperties::Fast);
    if (ref.isNull())
        return std::nullopt;
    LibraryTrack track;
    if (const TagLib::Tag* tag = ref.tag()) {
        track.name = fromTagLib(tag->title());
        track.artist = fromTagLib(tag->artist());
        track.album = fromTagLib(tag->album());
    }
    // A file without a title is listed under its file name, as music players do.
    if (track.name.isEmpty())
        track.name = QFileInfo(path).completeBaseName();
    if (const TagLib::AudioProperties* audio = ref.audioProperties())
        track.duration = audio->lengthInMilliseconds() / 1000.0;
    const TagLib::PropertyMap properties = ref.file()->properties();
    const auto recording = properties.find("MUSICBRAINZ_TRACKID");
    if (recording != properties.end() && !recording->second.isEmpty())
        track.recordingID = fromTagLib(recording->second.front()).toLower();
    track.uri = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    return track;
}

ScanOutcome scanFolders(const QStringList& folders, const QList<IndexedFile>& previous) {
    QHash<QString, const IndexedFile*> known;
    for (const IndexedFile& file : previous)
        known.insert(file.path, &file);
    ScanOutcome outcome;
    for (const QString& path : audioFilesIn(folders)) {
        ++outcome.stats.filesFound;
        const QFileInfo info(path);
        const qint64 modifiedMs = info.lastModified().toMSecsSinceEpoch();
        const IndexedFile* old = known.value(path);
        if (old && old->size == info.size() && old->modifiedMs == modifiedMs) {
            ++outcome.stats.filesReused;
            outcome.files.append(*old);
            continue;
        }
        const std::optional<LibraryTrack> track = readAudioFile(path);
        if (!track) {
            ++outcome.stats.filesFailed;
            continue;
        }
        ++outcome.stats.filesRead;
        outcome.files.append(IndexedFile{path, info.size(), modifiedMs, *track});
    }
    return outcome;
}

ScanOutcome loadIndexFile(const QString& path) {
    ScanOutcome outcome;
    QFile file(path);
    if (!file.exists())
        return outcome;
    if (!file.open(QIODevice::ReadOnly)) {
        outcome.error = file.errorString();
        return outcome;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (root.value(QStringLiteral("version")).toInt() != kIndexVersion) {
        outcome.error = QStringLiteral("The library index has an unknown form.");
        return outcome;
    }
    for (const QJsonValue entry : root.value(QStringLiteral("files")).toArray())
        outcome.files.append(fromJson(entry.toObject()));
    return outcome;
}

QString saveIndexFile(const QString& path, const QList<IndexedFile>& files) {
    QJsonArray entries;
    for (const IndexedFile& file : files)
        entries.append(toJson(file));
    const QJsonObject root{{QStringLiteral("version"), kIndexVersion},
                           {QStringLiteral("files"), entries}};
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    out.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    return out.commit() ? QString() : out.errorString();
}

} // namespace sonavert::detail
