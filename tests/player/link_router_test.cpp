// The link opener with a recording desktop launcher and Shortcuts runner.

#include "src/player/catalog_links.h"
#include "src/player/link_router.h"
#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::awaitTask;

namespace {

class RecordingLauncher final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl url) override {
        opened.append(url.toString(QUrl::FullyEncoded));
        co_return Status();
    }
    QStringList opened;
};

class RecordingShortcuts final : public ShortcutsRunner {
public:
    QCoro::Task<Status> runShortcut(QString name, QString input) override {
        runs.append(name + QLatin1Char('|') + input);
        co_return Status();
    }
    QCoro::Task<Status> importShortcut(QString path) override {
        imports.append(path);
        co_return canAsk ? Status() : Status(makeError(u"ShortcutsTool"_s, 1, u"no terminal"_s));
    }
    QStringList runs;
    QStringList imports;
    bool canAsk = true;
};

const QString kStream = u"https://radio.example.org/jazz.ogg"_s;

} // namespace

class LinkOpenerTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::shared_ptr<LocalCatalog> m_catalog;
    std::shared_ptr<SimulatedPlayer> m_player;
    std::shared_ptr<RecordingLauncher> m_desktop;
    std::shared_ptr<RecordingShortcuts> m_shortcuts;
    std::unique_ptr<LinkRouter> m_opener;
    QString m_songId;

    Status open(const QString& link) { return awaitTask(m_opener->open(link)); }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        auto library = std::make_shared<StaticTrackLibrary>(
            QList<LibraryTrack>{{u"So What"_s, u"Miles Davis"_s, u"Kind of Blue"_s, 545.0,
                                 u"file:///music/so-what.flac"_s, QString()}});
        m_catalog = std::make_shared<LocalCatalog>(
            library, QList<RadioStation>{{u"ra1"_s, u"Jazz"_s, kStream, stationWebLink(u"ra1"_s)}});
        m_songId = m_catalog->searchNow(u"So What"_s, CatalogItemType::Song, 1).songs.first().id;
        m_player = std::make_shared<SimulatedPlayer>(m_clock, m_catalog);
        m_desktop = std::make_shared<RecordingLauncher>();
        m_shortcuts = std::make_shared<RecordingShortcuts>();
        m_opener = std::make_unique<LinkRouter>(
            LinkRouter::Parts{m_catalog, m_player, m_shortcuts, m_desktop});
    }

    void songLinksPlayTheLibraryFileInEitherForm_data() {
        QTest::addColumn<bool>("musicScheme");
        QTest::newRow("music scheme") << true;
        QTest::newRow("web link") << false;
    }
    void songLinksPlayTheLibraryFileInEitherForm() {
        QFETCH(bool, musicScheme);
        m_player->setRunning(false); // opening a song starts the player
        const QString web = songWebLink(m_songId);
        QVERIFY(open(musicScheme ? musicSchemeForm(web) : web).ok());
        const NowPlaying now = m_player->snapshot();
        QCOMPARE(now.state, PlayerState::Playing);
        QCOMPARE(now.track->uri, u"file:///music/so-what.flac"_s);
        QCOMPARE(now.track->name, u"So What"_s);
        QVERIFY(m_desktop->opened.isEmpty());
    }

    void unknownCatalogItemsAreErrorsAndPlayNothing() {
        QVERIFY(open(u"music://music.sonavert.io/us/song/idffff"_s)
                    .error()
                    .is(LinkErrorCode::NotInCatalog));
        QVERIFY(open(u"music://music.sonavert.io/station/ra9"_s)
                    .error()
                    .is(LinkErrorCode::NotInCatalog));
        QVERIFY(!m_player->snapshot().track);
        QVERIFY(m_desktop->opened.isEmpty());
    }

    void shortcutLinksRunTheNamedShortcutWithItsInput() {
        QVERIFY(
            open(u"shortcuts://run-shortcut?name=SonavertReceiver&input=id%20%C3%A9%26x"_s).ok());
        QCOMPARE(m_shortcuts->runs, QStringList{u"SonavertReceiver|id é&x"_s});
        QVERIFY(
            open(u"shortcuts://run-shortcut?input=1"_s).error().is(LinkErrorCode::NoShortcutNamed));

        LinkRouter withoutTool(LinkRouter::Parts{m_catalog, m_player, nullptr, m_desktop});
        QVERIFY(awaitTask(withoutTool.open(u"shortcuts://run-shortcut?name=A"_s))
                    .error()
                    .is(LinkErrorCode::NoShortcutsTool));
        QVERIFY(m_desktop->opened.isEmpty());
    }

    void shortcutFilesAreOfferedThroughTheShortcutsToolElseTheDesktop() {
        const QString file = u"file:///opt/My%20Apps/SonavertReceiver.shortcut"_s;
        QVERIFY(open(file).ok());
        QCOMPARE(m_shortcuts->imports, QStringList{u"/opt/My Apps/SonavertReceiver.shortcut"_s});
        QVERIFY(m_desktop->opened.isEmpty());

        m_shortcuts->canAsk = false;
        QVERIFY(open(file).ok());
        QCOMPARE(m_shortcuts->imports.size(), 2);
        QCOMPARE(m_desktop->opened, QStringList{file});

        LinkRouter withoutTool(LinkRouter::Parts{m_catalog, m_player, nullptr, m_desktop});
        QVERIFY(awaitTask(withoutTool.open(file)).ok());
        QCOMPARE(m_desktop->opened, (QStringList{file, file}));
        QCOMPARE(m_shortcuts->imports.size(), 2);
    }

    void everythingElseGoesToTheDesktop() {
        const QStringList others{u"https://example.org/page"_s,
                                 u"https://music.sonavert.io/help"_s,
                                 u"music://elsewhere.example/us/song/id1"_s,
                                 u"mailto:support@sonavert.io"_s,
                                 u"shortcuts://open-shortcut?name=A"_s,
                                 u"file:///home/me/notes.txt"_s};
        for (const QString& link : others)
            QVERIFY(open(link).ok());
        QCOMPARE(m_desktop->opened, others);
        QVERIFY(m_shortcuts->runs.isEmpty());
        QVERIFY(!m_player->snapshot().track);
        QVERIFY(open(u"not a link"_s).error().is(LinkErrorCode::NotALink));
        QCOMPARE(m_desktop->opened.size(), others.size());
    }
};

QTEST_GUILESS_MAIN(LinkOpenerTest)
#include "link_router_test.moc"
