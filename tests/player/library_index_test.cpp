// The library index on tagged files made for the test.

#include "src/player/library_index.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/await_task.h"
#include "tests/support/scratch_files.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::AudioFixtures;
using test::awaitTask;

namespace {

std::optional<LibraryTrack> named(const QList<LibraryTrack>& tracks, const QString& name) {
    for (const LibraryTrack& track : tracks) {
        if (track.name == name)
            return track;
    }
    return std::nullopt;
}

} // namespace

class LibraryIndexTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_music;
    QString m_index;

    QString musicFile(const QString& name) const { return m_music + QLatin1Char('/') + name; }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_scratch.isValid());
        m_music = m_scratch.filePath(u"Music"_s);
        QVERIFY(QDir().mkpath(m_music + u"/Miles Davis/Kind of Blue"_s));
        QVERIFY(AudioFixtures::make(
            musicFile(u"Miles Davis/Kind of Blue/01 So What.flac"_s), 2,
            {u"TITLE=So What"_s, u"ARTIST=Miles Davis"_s, u"ALBUM=Kind of Blue"_s,
             u"MUSICBRAINZ_TRACKID=4B0E7A4E-3C14-4A44-9B8B-0B5B2F1C2D3E"_s}));
        QVERIFY(AudioFixtures::make(
            musicFile(u"Été \"live\".ogg"_s), 3,
            {u"TITLE=Été \"live\""_s, u"ARTIST=Anne\\Marie"_s, u"ALBUM=Saisons"_s}));
        QVERIFY(AudioFixtures::make(musicFile(u"untitled take.flac"_s), 1, {}));
        QVERIFY(test::writeFile(musicFile(u"broken.flac"_s), "not audio at all"));
        QVERIFY(test::writeFile(musicFile(u"notes.txt"_s), {}));
    }

    void init() { m_index = m_scratch.filePath(u"profile/library-index.json"_s); }
    void cleanup() { QFile::remove(m_index); }

    void scanReadsTagsLengthsAndFileUris() {
        LibraryIndex index(m_index, {m_music});
        QSignalSpy changed(&index, &LibraryIndex::tracksChanged);
        const Result<LibraryScanStats> stats = awaitTask(index.rescan());
        QVERIFY(stats.ok());
        QCOMPARE(stats.value().filesFound, 4); // notes.txt is not audio
        QCOMPARE(stats.value().filesRead, 3);
        QCOMPARE(stats.value().filesFailed, 1);
        QCOMPARE(changed.count(), 1);

        const QList<LibraryTrack> tracks = index.tracks();
        QCOMPARE(tracks.size(), 3);
        const auto soWhat = named(tracks, u"So What"_s);
        QVERIFY(soWhat);
        QCOMPARE(soWhat->artist, u"Miles Davis"_s);
        QCOMPARE(soWhat->album, u"Kind of Blue"_s);
        QCOMPARE(soWhat->recordingID, u"4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e"_s);
        QVERIFY(qAbs(soWhat->duration - 2.0) < 0.05);
        QCOMPARE(QUrl(soWhat->uri).toLocalFile(),
                 musicFile(u"Miles Davis/Kind of Blue/01 So What.flac"_s));
        const auto ete = named(tracks, u"Été \"live\""_s);
        QVERIFY(ete);
        QCOMPARE(ete->artist, u"Anne\\Marie"_s);
        QVERIFY(qAbs(ete->duration - 3.0) < 0.05);
        QVERIFY(named(tracks, u"untitled take"_s)); // no title: the file name
        // The same file under another spelling of its URL is found.
        QCOMPARE(index.trackForUrl(u"file://"_s + m_music + u"/./%C3%89t%C3%A9%20%22live%22.ogg"_s)
                     ->album,
                 u"Saisons"_s);
    }

    void rescanReadsOnlyWhatChanged() {
        LibraryIndex index(m_index, {m_music});
        QVERIFY(awaitTask(index.rescan()).ok());
        const LibraryScanStats unchanged = awaitTask(index.rescan()).value();
        QCOMPARE(unchanged.filesRead, 0);
        QCOMPARE(unchanged.filesReused, 3);

        const QString untitled = musicFile(u"untitled take.flac"_s);
        QVERIFY(AudioFixtures::retagFlac(untitled, {u"TITLE=Take Five"_s}));
        QFile file(untitled);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                 QFileDevice::FileModificationTime));
        file.close();
        const LibraryScanStats retagged = awaitTask(index.rescan()).value();
        QCOMPARE(retagged.filesRead, 1);
        QCOMPARE(retagged.filesReused, 2);
        QVERIFY(named(index.tracks(), u"Take Five"_s));
        QVERIFY(!named(index.tracks(), u"untitled take"_s));

        const QString moved = m_scratch.filePath(u"take-five.flac"_s);
        QVERIFY(QFile::rename(untitled, moved));
        QCOMPARE(awaitTask(index.rescan()).value().filesFound, 3);
        QVERIFY(!named(index.tracks(), u"Take Five"_s));
        QVERIFY(QFile::rename(moved, untitled));
    }

    void indexFileCarriesTheLibraryToTheNextStart() {
        {
            LibraryIndex first(m_index, {m_music});
            QVERIFY(awaitTask(first.rescan()).ok());
        }
        // A library whose folders are gone still answers from the index file.
        LibraryIndex second(m_index, {m_scratch.filePath(u"nowhere"_s)});
        QVERIFY(awaitTask(second.load()).ok());
        QCOMPARE(second.tracks().size(), 3);
        QVERIFY(named(second.tracks(), u"So What"_s));

        LibraryIndex third(m_index, {m_music});
        QVERIFY(awaitTask(third.load()).ok());
        QCOMPARE(awaitTask(third.rescan()).value().filesRead, 0);
    }

    void damagedIndexFileIsAnErrorAndAnEmptyLibrary() {
        QVERIFY(QDir().mkpath(QFileInfo(m_index).absolutePath()));
        QVERIFY(test::writeFile(m_index, "{\"version\": 99}"));
        LibraryIndex index(m_index, {m_music});
        QVERIFY(!awaitTask(index.load()).ok());
        QVERIFY(index.tracks().isEmpty());
        QCOMPARE(awaitTask(index.rescan()).value().filesRead, 3); // and a rescan repairs it
        LibraryIndex fresh(m_index, {m_music});
        QVERIFY(awaitTask(fresh.load()).ok());
        QCOMPARE(fresh.tracks().size(), 3);
    }

    void scanRunsOffTheEventLoopAndConcurrentCallsShareIt() {
        LibraryIndex index(m_index, {m_music});
        auto first = index.rescan();
        auto second = index.rescan();
        // Both suspended at once: the work is on another thread, not in this call.
        QVERIFY(!first.isReady());
        QVERIFY(!second.isReady());
        const LibraryScanStats a = awaitTask(std::move(first)).value();
        const LibraryScanStats b = awaitTask(std::move(second)).value();
        QCOMPARE(a.filesRead, 3);
        QCOMPARE(b.filesRead, 3); // the same scan, not a second one that reused the first
        QCOMPARE(index.tracks().size(), 3);
    }

    void defaultFolderIsTheXdgMusicFolder() {
        // main() gave us a scratch home without an XDG user-dirs file.
        QCOMPARE(LibraryIndex::defaultFolders(),
                 QStringList{qEnvironmentVariable("HOME") + u"/Music"_s});
        QCOMPARE(LibraryIndex::indexFileIn(Profile::inDirectory(m_scratch.path())),
                 m_scratch.path() + u"/library-index.json"_s);
    }
};

int main(int argc, char** argv) {
    const QStringList missing = AudioFixtures::missingTools();
    if (!missing.isEmpty()) {
        std::printf("SKIP: cannot make test audio without %s\n", qPrintable(missing.join(u", "_s)));
        return 77;
    }
    // Never the user's own home: the XDG music folder is looked up under a scratch one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + u"/.config"_s).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + u"/.local/share"_s).toUtf8());
    QCoreApplication app(argc, argv);
    LibraryIndexTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "library_index_test.moc"
