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
using namespace Qt::StringLiterals;
using test::awaitTask;

namespace {

LibraryTrack track(const QString& name, const QString& artist, const QString& album,
                   const QString& file, const QString& recording = {}) {
    return {name, artist, album, 200.0, u"file:///music/"_s + file, recording};
}

QStringList titles(const QList<LibrarySong>& songs) {
    QStringList result;
    for (const LibrarySong& song : songs)
        result << song.title + u" / "_s + song.artistName;
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
            track(u"Yesterday"_s, u"Boyz II Men"_s, u"Covers"_s, u"a.flac"_s),
            track(u"Yesterday Once More"_s, u"Carpenters"_s, u"Now & Then"_s, u"b.flac"_s),
            track(u"yesterday"_s, u"the beatles"_s, u"Help!"_s, u"c.flac"_s),
            track(u"Yesterday"_s, u"The Beatles"_s, u"Help!"_s, u"c-copy.mp3"_s),
            track(u"Été indien"_s, u"Joe Dassin"_s, u"Yesterday and Today"_s, u"d.ogg"_s)});
        const QList<RadioStation> stations =
            station_list::parse(u"https://radio.example.org/chill.ogg Chill\n"
                                "https://radio.example.org/chillmix.ogg   Chill Mix Radio\n"
                                "https://radio.example.org/jazz.ogg Jazz\n"_s);
        m_catalog = std::make_unique<LocalCatalog>(m_library, stations);
    }

    void songIdentifierFollowsTheRecordingNotTheFile() {
        const LibraryTrack flac =
            track(u"Blue in Green"_s, u"Miles Davis"_s, u"Kind of Blue"_s, u"x.flac"_s);
        LibraryTrack mp3 =
            track(u" BLUE  in green "_s, u"miles davis"_s, u"Kind Of Blue"_s, u"y.mp3"_s);
        mp3.duration = 337.06;
        QCOMPARE(songIdentifier(mp3), songIdentifier(flac));
        // Fixed for good: devices running different builds must agree on it.
        QCOMPARE(songIdentifier(flac), u"9cb364ada94c60555b2f51f79ca1d37e"_s);
        LibraryTrack live = flac;
        live.album = u"Live at the Plugged Nickel"_s;
        QVERIFY(songIdentifier(live) != songIdentifier(flac));

        LibraryTrack tagged = flac;
        tagged.recordingID = u"4B0E7A4E-3C14-4A44-9B8B-0B5B2F1C2D3E"_s;
        QCOMPARE(songIdentifier(tagged), u"4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e"_s);
        tagged.recordingID = u"not-a-recording-id"_s;
        QCOMPARE(songIdentifier(tagged), songIdentifier(flac));
        // Compatibility forms and case folding meet: the "fi" ligature, upper case.
        QCOMPARE(normalizedForIdentity(u"\uFB01NE Stra\u00DFe"_s),
                 normalizedForIdentity(u"fine  stra\u00DFe"_s));
    }

    void songSearchPutsTheExactTitleAndArtistFirst() {
        const CatalogSearchResponse found =
            m_catalog->searchNow(u"Yesterday The Beatles"_s, CatalogItemType::Song, 10);
        QCOMPARE(titles(found.songs), QStringList{u"yesterday / the beatles"_s});
        const QList<LibrarySong> all =
            m_catalog->searchNow(u"yesterday"_s, CatalogItemType::Song, 10).songs;
        // Title equal to the term first, then title/artist matches, then album-only matches;
        // the two files of the Beatles recording are one song.
        QCOMPARE(
            titles(all),
            (QStringList{u"Yesterday / Boyz II Men"_s, u"yesterday / the beatles"_s,
                         u"Yesterday Once More / Carpenters"_s, u"Été indien / Joe Dassin"_s}));
        QCOMPARE(m_catalog->searchNow(u"yesterday"_s, CatalogItemType::Song, 2).songs.size(), 2);
        QCOMPARE(titles(m_catalog->searchNow(u"ete INDIEN"_s, CatalogItemType::Song, 10).songs),
                 QStringList{u"Été indien / Joe Dassin"_s});
        QVERIFY(m_catalog->searchNow(u"  "_s, CatalogItemType::Song, 10).songs.isEmpty());
        QVERIFY(m_catalog->searchNow(u"yesterday"_s, CatalogItemType::Station, 10).songs.isEmpty());
    }

    void stationSearchFindsNamesInsideAndAroundTheTerm() {
        const QList<RadioStation> found =
            m_catalog->searchNow(u"Chill Mix"_s, CatalogItemType::Station, 5).stations;
        QCOMPARE(names(found), (QStringList{u"Chill"_s, u"Chill Mix Radio"_s}));
        QCOMPARE(names(m_catalog
                           ->searchNow(u"chill mix radio"_s,
                                       CatalogItemType::Station | CatalogItemType::Song, 1)
                           .stations),
                 QStringList{u"Chill Mix Radio"_s});
        QVERIFY(m_catalog->searchNow(u"Kind of Blue"_s, CatalogItemType::Station, 5)
                    .stations.isEmpty());
    }

    void lookUpFindsSongsAndStationsByIdentifier() {
        const LibrarySong song =
            m_catalog->searchNow(u"yesterday beatles"_s, CatalogItemType::Song, 1).songs.first();
        const auto looked = awaitTask(m_catalog->lookUpSong(song.id));
        QVERIFY(looked.ok());
        QCOMPARE(looked.value(), song);
        QCOMPARE(song.fileUri, u"file:///music/c.flac"_s);
        QCOMPARE(song.url, u"https://music.sonavert.io/us/song/id"_s + song.id);
        QVERIFY(!awaitTask(m_catalog->lookUpSong(u"0000"_s)).value());
        const QString jazz =
            station_list::stationIdentifier(u"https://radio.example.org/jazz.ogg"_s);
        QCOMPARE(jazz, u"ra50d0eb71d458ce35f87553f6"_s);
        QCOMPARE(awaitTask(m_catalog->lookUpStation(jazz)).value()->name, u"Jazz"_s);
        QVERIFY(!awaitTask(m_catalog->search(u"x"_s, CatalogItemType::Song, 0)).ok());
    }

    void catalogFollowsTheLibraryAndKnowsStationStreams() {
        QVERIFY(!m_catalog->trackForUrl(u"file:///music/new.flac"_s));
        const auto station = m_catalog->trackForUrl(u"https://RADIO.example.org/jazz.ogg"_s);
        QCOMPARE(station->album, u"Jazz"_s);
        QVERIFY(station->name.isEmpty());
        QCOMPARE(m_catalog->trackForUrl(u"file:///music/./a.flac"_s)->artist, u"Boyz II Men"_s);
    }

    void stationsFileSkipsWhatIsNotAStation() {
        const QList<RadioStation> stations =
            station_list::parse(QStringLiteral("# my radios\n\n"
                                               "  https://a.example/one.mp3\tOne  Radio  \n"
                                               "https://b.example/two.mp3\n"       // no name
                                               "ftp://c.example/three.mp3 Three\n" // not http(s)
                                               "http://d.example/four.aac Four # not a comment\n"));
        QCOMPARE(names(stations), (QStringList{u"One  Radio"_s, u"Four # not a comment"_s}));
        QCOMPARE(stations.first().streamUrl, u"https://a.example/one.mp3"_s);
        QCOMPARE(stations.first().url,
                 u"https://music.sonavert.io/station/"_s + stations.first().id);
        QVERIFY(station_list::load(u"/nonexistent/stations.txt"_s).isEmpty());
    }

    void catalogLinksRoundTrip() {
        const QString web = songWebLink(u"9cb364ad"_s);
        QCOMPARE(web, u"https://music.sonavert.io/us/song/id9cb364ad"_s);
        QCOMPARE(musicSchemeForm(web), u"music://music.sonavert.io/us/song/id9cb364ad"_s);
        QCOMPARE(musicSchemeForm(u"https://example.org/us/song/id1"_s),
                 u"https://example.org/us/song/id1"_s);
        const QString station = stationWebLink(u"ra.1"_s);
        QCOMPARE(station, u"https://music.sonavert.io/station/ra.1"_s);
        QCOMPARE(musicSchemeForm(station + u"?u="_s + station), // every prefix
                 u"music://music.sonavert.io/station/ra.1?u=music://"
                 "music.sonavert.io/station/ra.1"_s);
        const CatalogLink song{CatalogLink::Kind::Song, u"9cb364ad"_s};
        QCOMPARE(parseCatalogLink(musicSchemeForm(web)), song);
        QCOMPARE(parseCatalogLink(u"https://MUSIC.sonavert.io/gb/song/idol/id9cb364ad"_s), song);
        QCOMPARE(parseCatalogLink(u"music://music.sonavert.io/station/ra12"_s),
                 (CatalogLink{CatalogLink::Kind::Station, u"ra12"_s}));
        QVERIFY(!parseCatalogLink(u"music://other.example/us/song/id1"_s));
        QVERIFY(!parseCatalogLink(u"https://music.sonavert.io/about"_s));
        QVERIFY(!parseCatalogLink(u"ftp://music.sonavert.io/us/song/id1"_s));
    }

    void urlsCompareAfterNormalisation() {
        QVERIFY(isSameUrl(u"file:///m/%C3%89t%C3%A9%20x.ogg"_s, u"file:///m/Été x.ogg"_s));
        QVERIFY(isSameUrl(u"file:///m/a/../%c3%a9.ogg"_s, u"/m/é.ogg"_s));
        QVERIFY(isSameUrl(u"HTTP://Radio.Example.org/a%20b"_s, u"http://radio.example.org/a b"_s));
        QVERIFY(!isSameUrl(u"file:///m/a.ogg"_s, u"file:///m/A.ogg"_s));
        QVERIFY(!isSameUrl(QString(), QString()));
    }
};

QTEST_GUILESS_MAIN(LocalCatalogTest)
#include "local_catalog_test.moc"
