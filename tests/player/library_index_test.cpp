// The library index on tagged files made for the test.

#include "src/player/library_index.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/await_task.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace sonavert;
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
        m_music = m_scratch.filePath(QStringLiteral("Music"));
        QVERIFY(QDir().mkpath(m_music + QStringLiteral("/Miles Davis/Kind of Blue")));
        QVERIFY(AudioFixtures::make(
            musicFile(QStringLiteral("Miles Davis/Kind of Blue/01 So What.flac")), 2,
            {QStringLiteral("TITLE=So What"), QStringLiteral("ARTIST=Miles Davis"),
             QStringLiteral("ALBUM=Kind of Blue"),
             QStringLiteral("MUSICBRAINZ_TRACKID=4B0E7A4E-3C14-4A44-9B8B-0B5B2F1C2D3E")}));
        QVERIFY(AudioFixtures::make(musicFile(QStringLiteral("Été \"live\".ogg")), 3,
                                    {QStringLiteral("TITLE=Été \"live\""),
                                     QStringLiteral("ARTIST=Anne\\Marie"),
                                     QStringLiteral("ALBUM=Saisons")}));
        QVERIFY(AudioFixtures::make(musicFile(QStringLiteral("untitled take.flac")), 1, {}));
        QFile broken(musicFile(QStringLiteral("broken.flac")));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not audio at all");
        broken.close();
        QFile notes(musicFile(QStringLiteral("notes.txt")));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.close();
    }

    void init() { m_index = m_scratch.filePath(QStringLiteral("profile/library-index.json")); }
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
        const auto soWhat = named(tracks, QStringLiteral("So What"));
        QVERIFY(soWhat);
        QCOMPARE(soWhat->artist, QStringLiteral("Miles Davis"));
        QCOMPARE(soWhat->album, QStringLiteral("Kind of Blue"));
        QCOMPARE(soWhat->recordingID, QStringLiteral("4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e"));
        QVERIFY(qAbs(soWhat->duration - 2.0) < 0.05);
        QCOMPARE(QUrl(soWhat->uri).toLocalFile(),
                 musicFile(QStringLiteral("Miles Davis/Kind of Blue/01 So What.flac")));
        const auto ete = named(tracks, QStringLiteral("Été \"live\""));
        QVERIFY(ete);
        QCOMPARE(ete->artist, QStringLiteral("Anne\\Marie"));
        QVERIFY(qAbs(ete->duration - 3.0) < 0.05);
        QVERIFY(named(tracks, QStringLiteral("untitled take"))); // no title: the file name
        // The same file under another spelling of its URL is found.
        QCOMPARE(index
                     .trackForUrl(QStringLiteral("file://") + m_music +
                                  QStringLiteral("/./%C3%89t%C3%A9%20%22live%22.ogg"))
                     ->album,
                 QStringLiteral("Saisons"));
    }

    void rescanReadsOnlyWhatChanged() {
        LibraryIndex index(m_index, {m_music});
        QVERIFY(awaitTask(index.rescan()).ok());
        const LibraryScanStats unchanged = awaitTask(index.rescan()).value();
        QCOMPARE(unchanged.filesRead, 0);
        QCOMPARE(unchanged.filesReused, 3);

        const QString untitled = musicFile(QStringLiteral("untitled take.flac"));
        QVERIFY(AudioFixtures::retagFlac(untitled, {QStringLiteral("TITLE=Take Five")}));
        QFile file(untitled);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                 QFileDevice::FileModificationTime));
        file.close();
        const LibraryScanStats retagged = awaitTask(index.rescan()).value();
        QCOMPARE(retagged.filesRead, 1);
        QCOMPARE(retagged.filesReused, 2);
        QVERIFY(named(index.tracks(), QStringLiteral("Take Five")));
        QVERIFY(!named(index.tracks(), QStringLiteral("untitled take")));

        const QString moved = m_scratch.filePath(QStringLiteral("take-five.flac"));
        QVERIFY(QFile::rename(untitled, moved));
        QCOMPARE(awaitTask(index.rescan()).value().filesFound, 3);
        QVERIFY(!named(index.tracks(), QStringLiteral("Take Five")));
        QVERIFY(QFile::rename(moved, untitled));
    }

    void indexFileCarriesTheLibraryToTheNextStart() {
        {
            LibraryIndex first(m_index, {m_music});
            QVERIFY(awaitTask(first.rescan()).ok());
        }
        // A library whose folders are gone still answers from the index file.
        LibraryIndex second(m_index, {m_scratch.filePath(QStringLiteral("nowhere"))});
        QVERIFY(awaitTask(second.load()).ok());
        QCOMPARE(second.tracks().size(), 3);
        QVERIFY(named(second.tracks(), QStringLiteral("So What")));

        LibraryIndex third(m_index, {m_music});
        QVERIFY(awaitTask(third.load()).ok());
        QCOMPARE(awaitTask(third.rescan()).value().filesRead, 0);
    }

    void damagedIndexFileIsAnErrorAndAnEmptyLibrary() {
        QVERIFY(QDir().mkpath(QFileInfo(m_index).absolutePath()));
        QFile file(m_index);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"version\": 99}");
        file.close();
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
                 QStringList{qEnvironmentVariable("HOME") + QStringLiteral("/Music")});
        QCOMPARE(LibraryIndex::indexFileIn(Profile::inDirectory(m_scratch.path())),
                 m_scratch.path() + QStringLiteral("/library-index.json"));
    }
};

int main(int argc, char** argv) {
    const QStringList missing = AudioFixtures::missingTools();
    if (!missing.isEmpty()) {
        std::printf("SKIP: cannot make test audio without %s\n",
                    qPrintable(missing.join(QStringLiteral(", "))));
        return 77;
    }
    // Never the user's own home: the XDG music folder is looked up under a scratch one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    QCoreApplication app(argc, argv);
    LibraryIndexTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "library_index_test.moc"
