#include "src/music/receiver_shortcut.h"
#include "src/player/catalog_links.h"
#include "tests/music/music_test_doubles.h"

#include <QTest>
#include <QUrlQuery>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(sonavert::ShortcutInstallStatus)

class ReceiverShortcutTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Reading the tool's list

    void listOutputIsSearchedLineByLine_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<ShortcutInstallStatus>("status");
        const auto installed = ShortcutInstallStatus::Installed;
        const auto missing = ShortcutInstallStatus::NotInstalled;
        QTest::newRow("own line") << QByteArray("Morning\nSonavertReceiver\n") << installed;
        QTest::newRow("between blanks") << QByteArray("  SonavertReceiver \t\r\n") << installed;
        QTest::newRow("followed by a word") << QByteArray("SonavertReceiver copy\n") << missing;
        QTest::newRow("other letter case") << QByteArray("sonavertreceiver\n") << missing;
        QTest::newRow("empty output") << QByteArray() << missing;
        QTest::newRow("not UTF-8")
            << QByteArray("SonavertReceiver\n\xff\xfe") << ShortcutInstallStatus::Undetermined;
    }
    void listOutputIsSearchedLineByLine() {
        QFETCH(QByteArray, output);
        QFETCH(ShortcutInstallStatus, status);
        QCOMPARE(receiver_shortcut::statusFromListOutput(output), status);
    }

    void usabilityFollowsTheOfferOnlyWhenUndetermined() {
        InMemoryUserDefaults defaults;
        using receiver_shortcut::isShortcutUsable;
        QVERIFY(isShortcutUsable(ShortcutInstallStatus::Installed, defaults));
        QVERIFY(!isShortcutUsable(ShortcutInstallStatus::Undetermined, defaults));
        defaults.setBool(receiver_shortcut::kDonatedKey, true);
        QVERIFY(isShortcutUsable(ShortcutInstallStatus::Undetermined, defaults));
        QVERIFY(!isShortcutUsable(ShortcutInstallStatus::NotInstalled, defaults));
    }

    // Offering the Shortcut

    void startupCheckOffersOnlyAnUnusableShortcutAndLater() {
        MusicServiceRig rig;
        rig.shortcuts.listOutput = "SonavertReceiver\n";
        rig.finish(rig.installer.offerIfNotUsable(rig.shortcuts));
        VirtualClock::drainEvents();
        QVERIFY(rig.links.opened.empty());

        rig.shortcuts.listOutput = "Other\n";
        auto check = rig.installer.offerIfNotUsable(rig.shortcuts);
        QVERIFY(check.isReady());
        QVERIFY2(rig.links.opened.empty(), "the check returns before the offer is made");
        VirtualClock::drainEvents();
        QCOMPARE(rig.links.openedTexts(),
                 QStringList{u"file:///opt/sonavert/SonavertReceiver.shortcut"_s});
        QVERIFY(rig.defaults.isTrue(receiver_shortcut::kDonatedKey));
    }

    void undeterminedToolOffersOnceAcrossStarts() {
        MusicServiceRig rig;
        rig.shortcuts.launchFailure = makeError(u"Process"_s, 2, u"not found"_s);
        for (int start = 0; start < 2; ++start) {
            rig.finish(rig.installer.offerIfNotUsable(rig.shortcuts));
            VirtualClock::drainEvents();
        }
        QCOMPARE(rig.links.opened.size(), std::size_t(1));
    }

    // Links

    void receiverLinkCarriesTheIdentifierWhole() {
        const QString awkward = u"a&b=c+d #é"_s;
        const QUrl link = receiverShortcutLink(awkward);
        QVERIFY(link.isValid());
        QCOMPARE(link.scheme(), u"shortcuts"_s);
        QCOMPARE(link.host(), u"run-shortcut"_s);
        const QUrlQuery query(link);
        QCOMPARE(query.queryItems(QUrl::FullyDecoded),
                 (QList<QPair<QString, QString>>{{u"name"_s, u"SonavertReceiver"_s},
                                                 {u"input"_s, awkward}}));
    }
};

QTEST_GUILESS_MAIN(ReceiverShortcutTest)
#include "receiver_shortcut_test.moc"
