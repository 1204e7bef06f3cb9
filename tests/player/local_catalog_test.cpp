// Song identifiers, the stations file, catalog links, URL normalisation and the local
// catalog's search and lookup.

#include "src/player/catalog_links.h"
#include "src/player/local_catalog.h"
#include "src/player/song_identifier.h"
#include "src/player/station_list.h"
#include "src/player/url_normalization.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using test::awaitTask;

namespace {

LibraryTrack track(const QString& name, const QString& artist, const QString& album,
                   const QString& file, const QString& recording = {}) {
    return {name, artist, album, 200.0, QStringLiteral("file:///music/") + file, recording};
}

QStringList titles(const QList<LibrarySong>& songs) {
    QStringList result;
    for (const LibrarySong& song : songs)
        result << song.title + QStringLiteral(" / ") + song.artistName;
    return result;
}

QStringList names(const QList<RadioStation>& stations) {
    QStringList result;
    for (const RadioStation& station : stations)
        result << station.name;
    return result;
}

} // namespace

class LocalCatalogTest : public QObject {
    Q_OBJECT

    std::shared_ptr<StaticTrackLibrary> m_library;
    std::unique_ptr<LocalCatalog> m_catalog;

private Q_SLOTS:
    void init() {
        m_library = std::make_shared<StaticTrackLibrary>(QList<LibraryTrack>{
            track(QStringLiteral("Yesterday"), QStringLiteral("Boyz II Men"),
                  QStringLiteral("Covers"), QStringLiteral("a.flac")),
            track(QStringLiteral("Yesterday Once More"), QStringLiteral("Carpenters"),
                  QStringLiteral("Now & Then"), QStringLiteral("b.flac")),
            track(QStringLiteral("yesterday"), QStringLiteral("the beatles"),
                  QStringLiteral("Help!"), QStringLiteral("c.flac")),
            track(QStringLiteral("Yesterday"), QStringLiteral("The Beatles"),
                  QStringLiteral("Help!"), QStringLiteral("c-copy.mp3")),
            track(QStringLiteral("Été indien"), QStringLiteral("Joe Dassin"),
                  QStringLiteral("Yesterday and Today"), QStringLiteral("d.ogg"))});
        const QList<RadioStation> stations = station_list::parse(
            QStringLiteral("https://radio.example.org/chill.ogg Chill\n"
                           "https://radio.example.org/chillmix.ogg   Chill Mix Radio\n"
                           "https://radio.example.org/jazz.ogg Jazz\n"));
        m_catalog = std::make_unique<LocalCatalog>(m_library, stations);
    }

    void songIdentifierFollowsTheRecordingNotTheFile() {
        const LibraryTrack flac =
            track(QStringLiteral("Blue in Green"), QStringLiteral("Miles Davis"),
                  QStringLiteral("Kind of Blue"), QStringLiteral("x.flac"));
        LibraryTrack mp3 = track(QStringLiteral(" BLUE  in green "), QStringLiteral("miles davis"),
                                 QStringLiteral("Kind Of Blue"), QStringLiteral("y.mp3"));
        mp3.duration = 337.06;
        QCOMPARE(songIdentifier(mp3), songIdentifier(flac));
        // Fixed for good: devices running different builds must agree on it.
        QCOMPARE(songIdentifier(flac), QStringLiteral("9cb364ada94c60555b2f51f79ca1d37e"));
        LibraryTrack live = flac;
        live.album = QStringLiteral("Live at the Plugged Nickel");
        QVERIFY(songIdentifier(live) != songIdentifier(flac));

        LibraryTrack tagged = flac;
        tagged.recordingID = QStringLiteral("4B0E7A4E-3C14-4A44-9B8B-0B5B2F1C2D3E");
        QCOMPARE(songIdentifier(tagged), QStringLiteral("4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e"));
        tagged.recordingID = QStringLiteral("not-a-recording-id");
        QCOMPARE(songIdentifier(tagged), songIdentifier(flac));
        // Compatibility forms and case folding meet: the "fi" ligature, upper case.
        QCOMPARE(normalizedForIdentity(QStringLiteral("\uFB01NE Stra\u00DFe")),
                 normalizedForIdentity(QStringLiteral("fine  stra\u00DFe")));
    }

    void songSearchPutsTheExactTitleAndArtistFirst() {
        const CatalogSearchResponse found = m_catalog->searchNow(
            QStringLiteral("Yesterday The Beatles"), CatalogItemType::Song, 10);
        QCOMPARE(titles(found.songs), QStringList{QStringLiteral("yesterday / the beatles")});
        const QList<LibrarySong> all =
            m_catalog->searchNow(QStringLiteral("yesterday"), CatalogItemType::Song, 10).songs;
        // Title equal to the term first, then title/artist matches, then album-only matches;
        // the two files of the Beatles recording are one song.
        QCOMPARE(titles(all), (QStringList{QStringLiteral("Yesterday / Boyz II Men"),
                                           QStringLiteral("yesterday / the beatles"),
                                           QStringLiteral("Yesterday Once More / Carpenters"),
                                           QStringLiteral("Été indien / Joe Dassin")}));
        QCOMPARE(m_catalog->searchNow(QStringLiteral("yesterday"), CatalogItemType::Song, 2)
                     .songs.size(),
                 2);
        QCOMPARE(
            titles(m_catalog->searchNow(QStringLiteral("ete INDIEN"), CatalogItemType::Song, 10)
                       .songs),
            QStringList{QStringLiteral("Été indien / Joe Dassin")});
        QVERIFY(
            m_catalog->searchNow(QStringLiteral("  "), CatalogItemType::Song, 10).songs.isEmpty());
        QVERIFY(m_catalog->searchNow(QStringLiteral("yesterday"), CatalogItemType::Station, 10)
                    .songs.isEmpty());
    }

    void stationSearchFindsNamesInsideAndAroundTheTerm() {
        const QList<RadioStation> found =
            m_catalog->searchNow(QStringLiteral("Chill Mix"), CatalogItemType::Station, 5).stations;
        QCOMPARE(names(found),
                 (QStringList{QStringLiteral("Chill"), QStringLiteral("Chill Mix Radio")}));
        QCOMPARE(names(m_catalog
                           ->searchNow(QStringLiteral("chill mix radio"),
                                       CatalogItemType::Station | CatalogItemType::Song, 1)
                           .stations),
                 QStringList{QStringLiteral("Chill Mix Radio")});
        QVERIFY(m_catalog->searchNow(QStringLiteral("Kind of Blue"), CatalogItemType::Station, 5)
                    .stations.isEmpty());
    }

    void lookUpFindsSongsAndStationsByIdentifier() {
        const LibrarySong song =
            m_catalog->searchNow(QStringLiteral("yesterday beatles"), CatalogItemType::Song, 1)
                .songs.first();
        const auto looked = awaitTask(m_catalog->lookUpSong(song.id));
        QVERIFY(looked.ok());
        QCOMPARE(looked.value(), song);
        QCOMPARE(song.fileUri, QStringLiteral("file:///music/c.flac"));
        QCOMPARE(song.url, QStringLiteral("https://music.sonavert.io/us/song/id") + song.id);
        QVERIFY(!awaitTask(m_catalog->lookUpSong(QStringLiteral("0000"))).value());
        const QString jazz =
            station_list::stationIdentifier(QStringLiteral("https://radio.example.org/jazz.ogg"));
        QCOMPARE(jazz, QStringLiteral("ra50d0eb71d458ce35f87553f6"));
        QCOMPARE(awaitTask(m_catalog->lookUpStation(jazz)).value()->name, QStringLiteral("Jazz"));
        QVERIFY(!awaitTask(m_catalog->search(QStringLiteral("x"), CatalogItemType::Song, 0)).ok());
    }

    void catalogFollowsTheLibraryAndKnowsStationStreams() {
        QVERIFY(!m_catalog->trackForUrl(QStringLiteral("file:///music/new.flac")));
        const auto station =
            m_catalog->trackForUrl(QStringLiteral("https://RADIO.example.org/jazz.ogg"));
        QCOMPARE(station->album, QStringLiteral("Jazz"));
        QVERIFY(station->name.isEmpty());
        QCOMPARE(m_catalog->trackForUrl(QStringLiteral("file:///music/./a.flac"))->artist,
                 QStringLiteral("Boyz II Men"));
    }

    void stationsFileSkipsWhatIsNotAStation() {
        const QList<RadioStation> stations =
            station_list::parse(QStringLiteral("# my radios\n\n"
                                               "  https://a.example/one.mp3\tOne  Radio  \n"
                                               "https://b.example/two.mp3\n"       // no name
                                               "ftp://c.example/three.mp3 Three\n" // not http(s)
                                               "http://d.example/four.aac Four # not a comment\n"));
        QCOMPARE(names(stations), (QStringList{QStringLiteral("One  Radio"),
                                               QStringLiteral("Four # not a comment")}));
        QCOMPARE(stations.first().streamUrl, QStringLiteral("https://a.example/one.mp3"));
        QCOMPARE(stations.first().url,
                 QStringLiteral("https://music.sonavert.io/station/") + stations.first().id);
        QVERIFY(station_list::load(QStringLiteral("/nonexistent/stations.txt")).isEmpty());
    }

    void catalogLinksRoundTrip() {
        const QString web = songWebLink(QStringLiteral("9cb364ad"));
        QCOMPARE(web, QStringLiteral("https://music.sonavert.io/us/song/id9cb364ad"));
        QCOMPARE(musicSchemeForm(web),
                 QStringLiteral("music://music.sonavert.io/us/song/id9cb364ad"));
        QCOMPARE(musicSchemeForm(QStringLiteral("https://example.org/us/song/id1")),
                 QStringLiteral("https://example.org/us/song/id1"));
        const QString station = stationWebLink(QStringLiteral("ra.1"));
        QCOMPARE(station, QStringLiteral("https://music.sonavert.io/station/ra.1"));
        QCOMPARE(musicSchemeForm(station + QStringLiteral("?u=") + station), // every prefix
                 QStringLiteral("music://music.sonavert.io/station/ra.1?u=music://"
                                "music.sonavert.io/station/ra.1"));
        const CatalogLink song{CatalogLink::Kind::Song, QStringLiteral("9cb364ad")};
        QCOMPARE(parseCatalogLink(musicSchemeForm(web)), song);
        QCOMPARE(
            parseCatalogLink(QStringLiteral("https://MUSIC.sonavert.io/gb/song/idol/id9cb364ad")),
            song);
        QCOMPARE(parseCatalogLink(QStringLiteral("music://music.sonavert.io/station/ra12")),
                 (CatalogLink{CatalogLink::Kind::Station, QStringLiteral("ra12")}));
        QVERIFY(!parseCatalogLink(QStringLiteral("music://other.example/us/song/id1")));
        QVERIFY(!parseCatalogLink(QStringLiteral("https://music.sonavert.io/about")));
        QVERIFY(!parseCatalogLink(QStringLiteral("ftp://music.sonavert.io/us/song/id1")));
    }

    void urlsCompareAfterNormalisation() {
        QVERIFY(isSameUrl(QStringLiteral("file:///m/%C3%89t%C3%A9%20x.ogg"),
                          QStringLiteral("file:///m/Été x.ogg")));
        QVERIFY(isSameUrl(QStringLiteral("file:///m/a/../%c3%a9.ogg"), QStringLiteral("/m/é.ogg")));
        QVERIFY(isSameUrl(QStringLiteral("HTTP://Radio.Example.org/a%20b"),
                          QStringLiteral("http://radio.example.org/a b")));
        QVERIFY(!isSameUrl(QStringLiteral("file:///m/a.ogg"), QStringLiteral("file:///m/A.ogg")));
        QVERIFY(!isSameUrl(QString(), QString()));
    }
};

QTEST_GUILESS_MAIN(LocalCatalogTest)
#include "local_catalog_test.moc"
