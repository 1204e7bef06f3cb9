// The real `sonavert-shortcuts` program in a scratch Shortcuts folder, and the bundled receiver
// Shortcut run through it against a fake MPRIS player on a private bus.

#include "src/runtime/virtual_clock.h"
#include "tests/player/fake_mpris_service.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/process_harness.h"
#include "tests/support/scratch_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::ChildProgram;
using test::ProgramRun;
using test::readFile;
using test::writeFile;

namespace {

const QString kTool = QStringLiteral(SONAVERT_SHORTCUTS_EXECUTABLE);
const QString kBundledShortcut = QStringLiteral(SONAVERT_BUNDLED_SHORTCUT);

// Writes what it was given where the test can read it: the first argument, standard input.
const QByteArray kRecorder = "#!/bin/sh\n"
                             "printf '%s' \"$1\" > \"$RECORD_DIR/argument\"\n"
                             "cat > \"$RECORD_DIR/input\"\n"
                             "echo 'Recorder ran'\n"
                             "exit \"${RECORDER_STATUS:-0}\"\n";

} // namespace

class SonavertShortcutsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_scratch;
    QProcessEnvironment m_environment;

    QString scratch(const QString& name) const { return m_scratch->filePath(name); }
    QString folder() const { return scratch(u"shortcuts"_s); }

    ProgramRun runTool(const QStringList& arguments, const QString& program = kTool,
                       const QByteArray& input = {}) {
        return ChildProgram(program, arguments, m_environment, input).finish();
    }

    ProgramRun importApproved(const QString& file) {
        return runTool({u"import"_s, u"--yes"_s, file});
    }

    QString shortcutFile(const QString& name, const QByteArray& content) {
        const QString path = scratch(u"downloads/"_s + name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        return writeFile(path, content) ? path : QString();
    }

private Q_SLOTS:
    void init() {
        m_scratch = std::make_unique<QTemporaryDir>();
        QVERIFY(m_scratch->isValid());
        m_environment = QProcessEnvironment::systemEnvironment();
        // Never the user's own folders.
        m_environment.insert(u"SONAVERT_SHORTCUTS_DIR"_s, folder());
        m_environment.insert(u"XDG_DATA_HOME"_s, scratch(u"data"_s));
        m_environment.insert(u"XDG_CONFIG_HOME"_s, scratch(u"config"_s));
        m_environment.insert(u"RECORD_DIR"_s, m_scratch->path());
    }

    // Listing and importing

    void listShowsApprovedShortcutsSortedAndNothingWithoutAFolder() {
        const ProgramRun empty = runTool({u"list"_s});
        QCOMPARE(empty.exitCode, 0);
        QCOMPARE(empty.out, QString());

        for (const QString& name :
             {u"Émile.shortcut"_s, u"alpha beta.shortcut"_s, u"Zeta.shortcut"_s})
            QCOMPARE(importApproved(shortcutFile(name, kRecorder)).exitCode, 0);
        // Neither a file that is not executable nor one left half added counts as approved.
        QVERIFY(writeFile(folder() + u"/notes"_s, "not a Shortcut"));
        QVERIFY(writeFile(folder() + u"/.adding-x1"_s, kRecorder));
        QFile::setPermissions(folder() + u"/.adding-x1"_s,
                              QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        const ProgramRun listed = runTool({u"list"_s});
        QCOMPARE(listed.exitCode, 0);
        QCOMPARE(listed.out, u"Zeta\nalpha beta\nÉmile\n"_s);
    }

    void importWithYesAddsAnOwnerOnlyExecutableAndReplacesAnOlderOne() {
        const QString file = shortcutFile(u"Morning Mix.shortcut"_s, "#!/bin/sh\n");
        const ProgramRun added = importApproved(file);
        QCOMPARE(added.exitCode, 0);
        QVERIFY2(added.out.startsWith(u"Added the Shortcut \"Morning Mix\""_s),
                 qPrintable(added.out));
        const QString installed = folder() + u"/Morning Mix"_s;
        QCOMPARE(QFileInfo(installed).permissions() & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                     QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

        QVERIFY(writeFile(file, "#!/bin/sh\necho newer\n"));
        const ProgramRun replaced = importApproved(file);
        QCOMPARE(replaced.exitCode, 0);
        QVERIFY2(replaced.out.startsWith(u"Replaced the Shortcut \"Morning Mix\""_s),
                 qPrintable(replaced.out));
        QCOMPARE(readFile(installed), QByteArray("#!/bin/sh\necho newer\n"));
        QCOMPARE(runTool({u"list"_s}).out, u"Morning Mix\n"_s);
    }

    void importWithoutAnyoneToAskAddsNothing() {
        const QString file = shortcutFile(u"Quiet.shortcut"_s, kRecorder);
        const ProgramRun refused = runTool({u"import"_s, file});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"no terminal"_s) && refused.err.contains(u"--yes"_s),
                 qPrintable(refused.err));
        QVERIFY(!QFileInfo::exists(folder() + u"/Quiet"_s));

        // Asked to ask in a window where no display is: refused, not added unasked.
        QProcessEnvironment noDisplay = m_environment;
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            noDisplay.remove(QString::fromLatin1(name));
        const ProgramRun windowless =
            ChildProgram(kTool, {u"import"_s, u"--ask-in-window"_s, file}, noDisplay).finish();
        QCOMPARE(windowless.exitCode, 1);
        QVERIFY2(windowless.err.contains(u"no window"_s), qPrintable(windowless.err));
        QVERIFY(!QFileInfo::exists(folder() + u"/Quiet"_s));

        QCOMPARE(importApproved(scratch(u"missing.shortcut"_s)).exitCode, 1);
        QCOMPARE(importApproved(shortcutFile(u".shortcut"_s, kRecorder)).exitCode, 1);
        QCOMPARE(runTool({u"list"_s}).out, QString());
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
        const QString script = QStandardPaths::findExecutable(u"script"_s);
        if (script.isEmpty())
            QSKIP("script(1) is not installed to give the tool a terminal");
        const QString file = shortcutFile(u"Asked.shortcut"_s, kRecorder);
        const QString command = u"'%1' import '%2'"_s.arg(kTool, file);
        const ProgramRun asked = runTool({u"-qec"_s, command, u"/dev/null"_s}, script, answer);
        QVERIFY2(asked.out.contains(u"Add the Shortcut \"Asked\" from "_s), qPrintable(asked.out));
        QCOMPARE(asked.exitCode, isAdded ? 0 : 1);
        QCOMPARE(QFileInfo::exists(folder() + u"/Asked"_s), isAdded);
    }

    // Running

    void runPassesTheInputLiterally_data() {
        QTest::addColumn<QString>("input");
        QTest::newRow("identifier") << u"4b0e7a4e-3c14-4a44-9b8b-0b5b2f1c2d3e"_s;
        QTest::newRow("quotes and blanks") << u" it's \"so\"  what "_s;
        QTest::newRow("non-ASCII") << u"Été – 夏 🎷"_s;
        QTest::newRow("shell syntax")
            << u"$(touch MARKER) `touch MARKER`; touch MARKER | $HOME *"_s;
        QTest::newRow("looks like an option") << u"--help"_s;
        QTest::newRow("empty") << QString();
    }
    void runPassesTheInputLiterally() {
        QFETCH(QString, input);
        QCOMPARE(importApproved(shortcutFile(u"Recorder.shortcut"_s, kRecorder)).exitCode, 0);
        const ProgramRun ran = runTool({u"run"_s, u"Recorder"_s, u"--input"_s, input});
        QCOMPARE(ran.exitCode, 0);
        QCOMPARE(ran.out, u"Recorder ran\n"_s);
        QCOMPARE(readFile(scratch(u"argument"_s)), input.toUtf8());
        QCOMPARE(readFile(scratch(u"input"_s)), input.toUtf8());
        QVERIFY(!QFileInfo::exists(scratch(u"MARKER"_s)));
        QVERIFY(!QFileInfo::exists(QDir::current().filePath(u"MARKER"_s)));
    }

    void runGivesTheShortcutsStatusAndRunsOnlyApprovedNames() {
        QCOMPARE(importApproved(shortcutFile(u"Recorder.shortcut"_s, kRecorder)).exitCode, 0);
        m_environment.insert(u"RECORDER_STATUS"_s, u"7"_s);
        QCOMPARE(runTool({u"run"_s, u"Recorder"_s}).exitCode, 7);
        QVERIFY(QFile::remove(scratch(u"argument"_s)));

        // A Shortcut runs by its exact listed name and never from outside the folder.
        QVERIFY(writeFile(scratch(u"outside"_s), kRecorder));
        QFile::setPermissions(scratch(u"outside"_s),
                              QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        for (const QString& name : {u"recorder"_s, u"Recorder "_s, u"../outside"_s, u"Nope"_s}) {
            const ProgramRun refused = runTool({u"run"_s, name});
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.err.contains(u"no approved Shortcut named"_s),
                     qPrintable(refused.err));
        }
        QVERIFY(!QFileInfo::exists(scratch(u"argument"_s)));
    }

    void usageErrorsExitWithStatusTwo_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no command") << QStringList();
        QTest::newRow("run without name") << QStringList{u"run"_s};
        QTest::newRow("input without value") << QStringList{u"run"_s, u"A"_s, u"--input"_s};
        QTest::newRow("unknown option") << QStringList{u"import"_s, u"--force"_s, u"A.shortcut"_s};
        QTest::newRow("two files") << QStringList{u"import"_s, u"A"_s, u"B"_s};
        QTest::newRow("play-song without song") << QStringList{u"play-song"_s};
    }
    void usageErrorsExitWithStatusTwo() {
        QFETCH(QStringList, arguments);
        const ProgramRun run = runTool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(u"--help"_s), qPrintable(run.err));
        QCOMPARE(run.out, QString());

        const ProgramRun help = runTool({u"--help"_s});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains(u"play-song"_s));
    }

    // The bundled receiver Shortcut, end to end

    void bundledReceiverShortcutStartsTheSongInTheMusicPlayer() {
        if (const QStringList missing = test::AudioFixtures::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(u"missing: "_s + missing.join(QLatin1Char(' '))));
        test::PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));

        // A library in the user's XDG music folder, as the app would see it.
        const QString music = scratch(u"My Music"_s);
        const QString song = music + u"/Blue in Green.flac"_s;
        const QString songId = u"1f2e3d4c-5b6a-4798-8a9b-0c1d2e3f4a5b"_s;
        QVERIFY(QDir().mkpath(music) && QDir().mkpath(scratch(u"config"_s)));
        QVERIFY(test::AudioFixtures::make(song, 1,
                                          {u"TITLE=Blue in Green"_s, u"ARTIST=Miles Davis"_s,
                                           u"ALBUM=Kind of Blue"_s,
                                           u"MUSICBRAINZ_TRACKID="_s + songId}));
        QVERIFY(writeFile(scratch(u"config/user-dirs.dirs"_s),
                          "XDG_MUSIC_DIR=\"" + music.toUtf8() + "\"\n"));

        auto clock = std::make_shared<VirtualClock>();
        test::FakeMprisService player(clock, {});
        const QString songUri = QUrl::fromLocalFile(song).toString(QUrl::FullyEncoded);
        player.addMedia(
            {songUri, u"Blue in Green"_s, {u"Miles Davis"_s}, u"Kind of Blue"_s, 1'000'000});
        QVERIFY(player.registerOn(bus.connect(u"player"_s), u"org.mpris.MediaPlayer2.fake"_s));
        m_environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
        m_environment.insert(u"SONAVERT_SHORTCUTS_BIN"_s, kTool);

        QCOMPARE(importApproved(kBundledShortcut).exitCode, 0);
        QCOMPARE(runReceiver(songId), 0);
        QCOMPARE(player.calls(), (QStringList{u"OpenUri(%1)"_s.arg(songUri), u"Play"_s}));
        QVERIFY(player.isPlaying());
        QVERIFY(QFileInfo::exists(scratch(u"data/sonavert/library-index.json"_s)));

        QCOMPARE(runReceiver(u"0000000000000000000000000000dead"_s), 1);
        QCOMPARE(runReceiver(u"x?y#z"_s), 1);
        QCOMPARE(player.calls().size(), 2); // nothing more was opened
    }

private:
    // The fake player answers from this process's event loop, which runTool keeps running.
    int runReceiver(const QString& songId) {
        return runTool({u"run"_s, u"SonavertReceiver"_s, u"--input"_s, songId}).exitCode;
    }
};

QTEST_GUILESS_MAIN(SonavertShortcutsTest)
#include "sonavert_shortcuts_test.moc"
