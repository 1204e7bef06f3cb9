// sonavertctl without a bus: what its command line means and how it shows a state.

#include "tools/sonavertctl/ctl_command_line.h"
#include "tools/sonavertctl/state_text.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using namespace sonavert::ctl;
using namespace Qt::StringLiterals;

namespace {

ParsedCtlCommandLine parse(QStringList arguments) {
    arguments.prepend(u"sonavertctl"_s);
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
        const auto push = parse({u"push"_s, u"Living Room"_s});
        QVERIFY(push.options);
        QCOMPARE(push.options->command, Command::Push);
        QCOMPARE(push.options->device, u"Living Room"_s);
        QCOMPARE(push.options->busName, u"io.sonavert.Sonavert"_s);
        QVERIFY(!push.options->isJson);

        const auto watch = parse({u"--json"_s, u"watch"_s});
        QCOMPARE(watch.options->command, Command::Watch);
        QVERIFY(watch.options->isJson);
        QCOMPARE(parse({u"favourite"_s, u"K"_s}).options->command, Command::Favorite);
    }

    void instanceAndBusNameChooseTheApp() {
        QCOMPARE(parse({u"--instance"_s, u"Living Room"_s, u"status"_s}).options->busName,
                 u"io.sonavert.Sonavert.living_room"_s);
        // A bus name element cannot start with a digit.
        QCOMPARE(parse({u"--instance"_s, u"7th Floor"_s, u"status"_s}).options->busName,
                 u"io.sonavert.Sonavert._7th_floor"_s);
        QCOMPARE(parse({u"--bus-name"_s, u"org.example.Other"_s, u"devices"_s}).options->busName,
                 u"org.example.Other"_s);
    }

    void usageErrorsExitTwo() {
        // Each command line as a shell would split it.
        for (const char* line :
             {"", "frob", "push", "push a b", "devices K", "--instance A --bus-name b.c status",
              "--instance \" \" status", "--no-such-option status"}) {
            const QStringList arguments = QProcess::splitCommand(QString::fromUtf8(line));
            const auto parsed = parse(arguments);
            QVERIFY2(!parsed.options && parsed.exitCode == kExitUsage,
                     qPrintable(arguments.join(' ')));
            QVERIFY(parsed.message.startsWith(u"sonavertctl: "_s));
        }
        const auto help = parse({u"--help"_s});
        QCOMPARE(help.exitCode, kExitOk);
        QVERIFY(help.message.contains(u"push DEVICE"_s));
    }

    void positionsReadAsMinutesAndSeconds() {
        QCOMPARE(positionText(65.9), u"1:05"_s);
        QCOMPARE(positionText(0.0), u"0:00"_s);
        QCOMPARE(positionText(3723.0), u"1:02:03"_s);
        QCOMPARE(positionText(QJsonValue()), QString());
    }

    void statusShowsWhatIsUnderWayAndTheErrors() {
        const QString text = statusText(json(R"({
            "thisDevice": {"id": "ID", "name": "Desk", "nowPlaying": null},
            "devices": [], "activityLabel": "Pulling from K\u2026", "isDiscovering": false,
            "transferError": null, "syncError": "The server is unreachable."})"));
        QCOMPARE(text, u"This device: Desk (ID)\nPlaying here: nothing\n"
                       "Pulling from K\u2026\n"
                       "Sync error: The server is unreachable.\n\n"
                       "No other devices yet.\n"_s);
    }
};

QTEST_GUILESS_MAIN(SonavertctlTest)
#include "sonavertctl_test.moc"
