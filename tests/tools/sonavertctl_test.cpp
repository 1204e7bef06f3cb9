// sonavertctl without a bus: what its command line means and how it shows a state.

#include "tools/sonavertctl/ctl_command_line.h"
#include "tools/sonavertctl/state_text.h"

#include <QJsonDocument>
#include <QTest>

using namespace sonavert::ctl;

namespace {

ParsedCtlCommandLine parse(QStringList arguments) {
    arguments.prepend(QStringLiteral("sonavertctl"));
    return parseCtlCommandLine(arguments);
}

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class SonavertctlTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commandsAndTheirDevice() {
        const auto push = parse({QStringLiteral("push"), QStringLiteral("Living Room")});
        QVERIFY(push.options);
        QCOMPARE(push.options->command, Command::Push);
        QCOMPARE(push.options->device, QStringLiteral("Living Room"));
        QCOMPARE(push.options->busName, QStringLiteral("io.sonavert.Sonavert"));
        QVERIFY(!push.options->isJson);

        const auto watch = parse({QStringLiteral("--json"), QStringLiteral("watch")});
        QCOMPARE(watch.options->command, Command::Watch);
        QVERIFY(watch.options->isJson);
        QCOMPARE(parse({QStringLiteral("favourite"), QStringLiteral("K")}).options->command,
                 Command::Favorite);
    }

    void instanceAndBusNameChooseTheApp() {
        QCOMPARE(parse({QStringLiteral("--instance"), QStringLiteral("Living Room"),
                        QStringLiteral("status")})
                     .options->busName,
                 QStringLiteral("io.sonavert.Sonavert.living_room"));
        // A bus name element cannot start with a digit.
        QCOMPARE(parse({QStringLiteral("--instance"), QStringLiteral("7th Floor"),
                        QStringLiteral("status")})
                     .options->busName,
                 QStringLiteral("io.sonavert.Sonavert._7th_floor"));
        QCOMPARE(parse({QStringLiteral("--bus-name"), QStringLiteral("org.example.Other"),
                        QStringLiteral("devices")})
                     .options->busName,
                 QStringLiteral("org.example.Other"));
    }

    void usageErrorsExitTwo() {
        const QList<QStringList> wrong{
            {},
            {QStringLiteral("frob")},
            {QStringLiteral("push")},
            {QStringLiteral("push"), QStringLiteral("a"), QStringLiteral("b")},
            {QStringLiteral("devices"), QStringLiteral("K")},
            {QStringLiteral("--instance"), QStringLiteral("A"), QStringLiteral("--bus-name"),
             QStringLiteral("b.c"), QStringLiteral("status")},
            {QStringLiteral("--instance"), QStringLiteral(" "), QStringLiteral("status")},
            {QStringLiteral("--no-such-option"), QStringLiteral("status")}};
        for (const QStringList& arguments : wrong) {
            const auto parsed = parse(arguments);
            QVERIFY2(!parsed.options && parsed.exitCode == kExitUsage,
                     qPrintable(arguments.join(' ')));
            QVERIFY(parsed.message.startsWith(QStringLiteral("sonavertctl: ")));
        }
        const auto help = parse({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, kExitOk);
        QVERIFY(help.message.contains(QStringLiteral("push DEVICE")));
    }

    void positionsReadAsMinutesAndSeconds() {
        QCOMPARE(positionText(65.9), QStringLiteral("1:05"));
        QCOMPARE(positionText(0.0), QStringLiteral("0:00"));
        QCOMPARE(positionText(3723.0), QStringLiteral("1:02:03"));
        QCOMPARE(positionText(QJsonValue()), QString());
    }

    void statusShowsWhatIsUnderWayAndTheErrors() {
        const QString text = statusText(json(R"({
            "thisDevice": {"id": "ID", "name": "Desk", "nowPlaying": null},
            "devices": [], "activityLabel": "Pulling from K\u2026", "isDiscovering": false,
            "transferError": null, "syncError": "The server is unreachable."})"));
        QCOMPARE(text, QStringLiteral("This device: Desk (ID)\nPlaying here: nothing\n"
                                      "Pulling from K\u2026\n"
                                      "Sync error: The server is unreachable.\n\n"
                                      "No other devices yet.\n"));
    }
};

QTEST_GUILESS_MAIN(SonavertctlTest)
#include "sonavertctl_test.moc"
