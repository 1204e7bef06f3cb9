// The real `sonavert-shortcuts` program in a scratch Shortcuts folder, and the bundled receiver
// Shortcut run through it against a fake MPRIS player on a private bus.

#include "src/runtime/virtual_clock.h"
#include "tests/player/fake_mpris_service.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/process_harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace sonavert;
using test::ChildProgram;
using test::ProgramRun;

namespace {

const QString kTool = QStringLiteral(SONAVERT_SHORTCUTS_EXECUTABLE);
const QString kBundledShortcut = QStringLiteral(SONAVERT_BUNDLED_SHORTCUT);

// Writes what it was given where the test can read it: the first argument, standard input.
const QByteArray kRecorder = "#!/bin/sh\n"
                             "printf '%s' \"$1\" > \"$RECORD_DIR/argument\"\n"
                             "cat > \"$RECORD_DIR/input\"\n"
                             "echo 'Recorder ran'\n"
                             "exit \"${RECORDER_STATUS:-0}\"\n";

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class SonavertShortcutsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_scratch;
    QProcessEnvironment m_environment;

    QString scratch(const QString& name) const { return m_scratch->filePath(name); }
    QString folder() const { return scratch(QStringLiteral("shortcuts")); }

    ProgramRun runTool(const QStringList& arguments, const QString& program = kTool,
                       const QByteArray& input = {}) {
        return ChildProgram(program, arguments, m_environment, input).finish();
    }

    ProgramRun importApproved(const QString& file) {
        return runTool({QStringLiteral("import"), QStringLiteral("--yes"), file});
    }

    QString shortcutFile(const QString& name, const QByteArray& content) {
        const QString path = scratch(QStringLiteral("downloads/") + name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        return writeFile(path, content) ? path : QString();
    }

private Q_SLOTS:
    void init() {
        m_scratch = std::make_unique<QTemporaryDir>();
        QVERIFY(m_scratch->isValid());
        m_environment = QProcessEnvironment::systemEnvironment();
        // Never the user's own folders.
        m_environment.insert(QStringLiteral("SONAVERT_SHORTCUTS_DIR"), folder());
        m_environment.insert(QStringLiteral("XDG_DATA_HOME"), scratch(QStringLiteral("data")));
        m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch(QStringLiteral("config")));
        m_environment.insert(QStringLiteral("RECORD_DIR"), m_scratch->path());
    }

    // Listing and importing

    void listShowsApprovedShortcutsSortedAndNothingWithoutAFolder() {
        const ProgramRun empty = runTool({QStringLiteral("list")});
        QCOMPARE(empty.exitCode, 0);
        QCOMPARE(empty.out, QString());

        for (const QString& name :
             {QStringLiteral("Émile.shortcut"), QStringLiteral("alpha beta.shortcut"),
              QStringLiteral("Zeta.shortcut")})
            QCOMPARE(importApproved(shortcutFile(name, kRecorder)).exitCode, 0);
        // Neither a file that is not executable nor one left half added counts as approved.
        QVERIFY(writeFile(folder() + QStringLiteral("/notes"), "not a Shortcut"));
        QVERIFY(writeFile(folder() + QStringLiteral("/.adding-x1"), kRecorder));
        QFile::setPermissions(folder() + QStringLiteral("/.adding-x1"),
                              QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        const ProgramRun listed = runTool({QStringLiteral("list")});
        QCOMPARE(listed.exitCode, 0);
        QCOMPARE(listed.out, QStringLiteral("Zeta\nalpha beta\nÉmile\n"));
    }

    void importWithYesAddsAnOwnerOnlyExecutableAndReplacesAnOlderOne() {
        const QString file = shortcutFile(QStringLiteral("Morning Mix.shortcut"), "#!/bin/sh\n");
        const ProgramRun added = importApproved(file);
        QCOMPARE(added.exitCode, 0);
        QVERIFY2(added.out.startsWith(QStringLiteral("Added the Shortcut \"Morning Mix\"")),
                 qPrintable(added.out));
        const QString installed = folder() + QStringLiteral("/Morning Mix");
        QCOMPARE(QFileInfo(installed).permissions() & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                     QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

        QVERIFY(writeFile(file, "#!/bin/sh\necho newer\n"));
        const ProgramRun replaced = importApproved(file);
        QCOMPARE(replaced.exitCode, 0);
        QVERIFY2(replaced.out.startsWith(QStringLiteral("Replaced the Shortcut \"Morning Mix\"")),
                 qPrintable(replaced.out));
        QCOMPARE(readFile(installed), QByteArray("#!/bin/sh\necho newer\n"));
        QCOMPARE(runTool({QStringLiteral("list")}).out, QStringLiteral("Morning Mix\n"));
    }

    void importWithoutAnyoneToAskAddsNothing() {
        const QString file = shortcutFile(QStringLiteral("Quiet.shortcut"), kRecorder);
        const ProgramRun refused = runTool({QStringLiteral("import"), file});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("no terminal")) &&
                     refused.err.contains(QStringLiteral("--yes")),
                 qPrintable(refused.err));
        QVERIFY(!QFileInfo::exists(folder() + QStringLiteral("/Quiet")));

        QCOMPARE(importApproved(scratch(QStringLiteral("missing.shortcut"))).exitCode, 1);
        QCOMPARE(importApproved(shortcutFile(QStringLiteral(".shortcut"), kRecorder)).exitCode, 1);
        QCOMPARE(runTool({QStringLiteral("list")}).out, QString());
    }

    void importAsksOnATerminal_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("isAdded");
        QTest::newRow("yes") << QByteArray("y\n") << true;
        QTest::newRow("YES") << QByteArray("YES\n") << true;
        QTest::newRow("no") << QByteArray("n\n") << false;
        QTest::newRow("just Return") << QByteArray("\n") << false;
    }
    void importAsksOnATerminal() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, isAdded);
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script(1) is not installed to give the tool a terminal");
        const QString file = shortcutFile(QStringLiteral("Asked.shortcut"), kRecorder);
        const QString command = QStringLiteral("'%1' import '%2'").arg(kTool, file);
        const ProgramRun asked =
            runTool({QStringLiteral("-qec"), command, QStringLiteral("/dev/null")}, script, answer);
        QVERIFY2(asked.out.contains(QStringLiteral("Add the Shortcut \"Asked\" from ")),
                 qPrintable(asked.out));
        QCOMPARE(asked.exitCode, isAdded ? 0 : 1);
        QCOMPARE(QFileInfo::exists(folder() + QStringLiteral("/Asked")), isAdded);
    }

    // Running

    void runPassesTheInputLiterally_data() {
        QTest::addColumn<QString>("input");
        QTest::newRow("identifier") << QStringLiteral("4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e");
        QTest::newRow("quotes and blanks") << QStringLiteral(" it's \"so\"  what ");
        QTest::newRow("non-ASCII") << QStringLiteral("Été – 夏 🎷");
        QTest::newRow("shell syntax")
            << QStringLiteral("$(touch MARKER) `touch MARKER`; touch MARKER | $HOME *");
        QTest::newRow("looks like an option") << QStringLiteral("--help");
        QTest::newRow("empty") << QString();
    }
    void runPassesTheInputLiterally() {
        QFETCH(QString, input);
        QCOMPARE(
            importApproved(shortcutFile(QStringLiteral("Recorder.shortcut"), kRecorder)).exitCode,
            0);
        const ProgramRun ran = runTool(
            {QStringLiteral("run"), QStringLiteral("Recorder"), QStringLiteral("--input"), input});
        QCOMPARE(ran.exitCode, 0);
        QCOMPARE(ran.out, QStringLiteral("Recorder ran\n"));
        QCOMPARE(readFile(scratch(QStringLiteral("argument"))), input.toUtf8());
        QCOMPARE(readFile(scratch(QStringLiteral("input"))), input.toUtf8());
        QVERIFY(!QFileInfo::exists(scratch(QStringLiteral("MARKER"))));
        QVERIFY(!QFileInfo::exists(QDir::current().filePath(QStringLiteral("MARKER"))));
    }

    void runGivesTheShortcutsStatusAndRunsOnlyApprovedNames() {
        QCOMPARE(
            importApproved(shortcutFile(QStringLiteral("Recorder.shortcut"), kRecorder)).exitCode,
            0);
        m_environment.insert(QStringLiteral("RECORDER_STATUS"), QStringLiteral("7"));
        QCOMPARE(runTool({QStringLiteral("run"), QStringLiteral("Recorder")}).exitCode, 7);
        QVERIFY(QFile::remove(scratch(QStringLiteral("argument"))));

        // A Shortcut runs by its exact listed name and never from outside the folder.
        QVERIFY(writeFile(scratch(QStringLiteral("outside")), kRecorder));
        QFile::setPermissions(scratch(QStringLiteral("outside")),
                              QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        for (const QString& name : {QStringLiteral("recorder"), QStringLiteral("Recorder "),
                                    QStringLiteral("../outside"), QStringLiteral("Nope")}) {
            const ProgramRun refused = runTool({QStringLiteral("run"), name});
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.err.contains(QStringLiteral("no approved Shortcut named")),
                     qPrintable(refused.err));
        }
        QVERIFY(!QFileInfo::exists(scratch(QStringLiteral("argument"))));
    }

    void usageErrorsExitWithStatusTwo_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no command") << QStringList();
        QTest::newRow("unknown command") << QStringList{QStringLiteral("delete")};
        QTest::newRow("run without name") << QStringList{QStringLiteral("run")};
        QTest::newRow("input without value")
            << QStringList{QStringLiteral("run"), QStringLiteral("A"), QStringLiteral("--input")};
        QTest::newRow("unknown option") << QStringList{
            QStringLiteral("import"), QStringLiteral("--force"), QStringLiteral("A.shortcut")};
        QTest::newRow("two files")
            << QStringList{QStringLiteral("import"), QStringLiteral("A"), QStringLiteral("B")};
        QTest::newRow("play-song without song") << QStringList{QStringLiteral("play-song")};
        QTest::newRow("list with operand")
            << QStringList{QStringLiteral("list"), QStringLiteral("A")};
    }
    void usageErrorsExitWithStatusTwo() {
        QFETCH(QStringList, arguments);
        const ProgramRun run = runTool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("--help")), qPrintable(run.err));
        QCOMPARE(run.out, QString());

        const ProgramRun help = runTool({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains(QStringLiteral("play-song")));
    }

    // The bundled receiver Shortcut, end to end

    void bundledReceiverShortcutStartsTheSongInTheMusicPlayer() {
        if (const QStringList missing = test::AudioFixtures::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("missing: ") + missing.join(QLatin1Char(' '))));
        test::PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));

        // A library in the user's XDG music folder, as the app would see it.
        const QString music = scratch(QStringLiteral("My Music"));
        const QString song = music + QStringLiteral("/Blue in Green.flac");
        const QString songId = QStringLiteral("1f2e3d4c-5b6a-4798-8a9b-0c1d2e3f4a5b");
        QVERIFY(QDir().mkpath(music) && QDir().mkpath(scratch(QStringLiteral("config"))));
        QVERIFY(test::AudioFixtures::make(song, 1,
                                          {QStringLiteral("TITLE=Blue in Green"),
                                           QStringLiteral("ARTIST=Miles Davis"),
                                           QStringLiteral("ALBUM=Kind of Blue"),
                                           QStringLiteral("MUSICBRAINZ_TRACKID=") + songId}));
        QVERIFY(writeFile(scratch(QStringLiteral("config/user-dirs.dirs")),
                          "XDG_MUSIC_DIR=\"" + music.toUtf8() + "\"\n"));

        auto clock = std::make_shared<VirtualClock>();
        test::FakeMprisService player(clock, {});
        const QString songUri = QUrl::fromLocalFile(song).toString(QUrl::FullyEncoded);
        player.addMedia({songUri,
                         QStringLiteral("Blue in Green"),
                         {QStringLiteral("Miles Davis")},
                         QStringLiteral("Kind of Blue"),
                         1'000'000});
        QVERIFY(player.registerOn(bus.connect(QStringLiteral("player")),
                                  QStringLiteral("org.mpris.MediaPlayer2.fake")));
        m_environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        m_environment.insert(QStringLiteral("SONAVERT_SHORTCUTS_BIN"), kTool);

        QCOMPARE(importApproved(kBundledShortcut).exitCode, 0);
        QCOMPARE(runReceiver(songId), 0);
        QCOMPARE(player.calls(),
                 (QStringList{QStringLiteral("OpenUri(%1)").arg(songUri), QStringLiteral("Play")}));
        QVERIFY(player.isPlaying());
        QVERIFY(QFileInfo::exists(scratch(QStringLiteral("data/sonavert/library-index.json"))));

        QCOMPARE(runReceiver(QStringLiteral("0000000000000000000000000000dead")), 1);
        QCOMPARE(runReceiver(QStringLiteral("x?y#z")), 1);
        QCOMPARE(player.calls().size(), 2); // nothing more was opened
    }

private:
    // The fake player answers from this process's event loop, which runTool keeps running.
    int runReceiver(const QString& songId) {
        return runTool({QStringLiteral("run"), QStringLiteral("SonavertReceiver"),
                        QStringLiteral("--input"), songId})
            .exitCode;
    }
};

QTEST_GUILESS_MAIN(SonavertShortcutsTest)
#include "sonavert_shortcuts_test.moc"
