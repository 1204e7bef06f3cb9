#include "tests/script/script_harness.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

/// Runs `body` inside a try whose handler returns "number|message".
QString caught(ScriptHarness& harness, const QString& body) {
    return harness.text(u"try\n%1\non error errMsg number errNum\n"
                        "return (errNum as text) & \"|\" & errMsg\nend try"_s.arg(body));
}

/// One row of a table of two texts.
void row(const char* name, const char* source, const char* expected) {
    QTest::newRow(name) << QString::fromUtf8(source) << QString::fromUtf8(expected);
}

} // namespace

class ScriptEvaluatorTest : public QObject {
    Q_OBJECT

    std::optional<ScriptHarness> harness; // made afresh for every case
private Q_SLOTS:
    void init() { harness.emplace(); }
    void cleanup() { harness.reset(); }

    void evaluates_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("result");
        row("product first", "return 1 + 2 * 3", "7");
        row("sum before &", "return \"a\" & 1 + 2", "a3");
        row("& before as", "return 1 & \"\" as text", "1");
        row("not over =", "return not 1 = 2", "true");
        row("and over or", "return true or false and false", "true");
        row("power is real", "return 2 ^ 3", "8.0");
        row("comparison words", "return 3 is greater than or equal to 3", "true");
        row("negative index", "return item -1 of {1, 2, 3}", "3");
        row("count", "return count of {1, {2, 3}, \"abc\"}", "3");
        row("count text", "return count \"abc\"", "3");
        row("parenthesised whose",
            "return (count of (every item of {\"a\", \"bb\", \"c\"} whose length is 1))", "2");
        row("text equality ignores case", "return \"ABBA\" is \"abba\"", "true");
        row("but not diacritics", "return \"Caf\u00e9\" = \"cafe\"", "false");
        row("contains", "return \"Chill Mix\" contains \"MIX\"", "true");
        row("starts with", "return \"Chill\" starts with \"ch\"", "true");
        row("not-equal sign", "return \"Chill\" \u2260 \"CHILL\"", "false");
        row("isn't", "return \"Chill\" isn't \"CHILLY\"", "true");
        row("numbers as text", "return (12.5 as text) & \"|\" & 60.0 & \"|\" & 12", "12.5|60.0|12");
        row("text as integer", "return (\"41\" as integer) + 1", "42");
        row("integer as real", "return (7 as real) as text", "7.0");
        row("& after a number makes a list",
            "set x to 1 & \"a\"\nreturn ((count of x) as text) & \"|\" & item 2 of x", "2|a");
        row("a list has no text form", "return 1 & \"a\"", "empty_result");
        row("repeat times", "set n to 0\nrepeat 4 times\nset n to n + 1\nend repeat\nreturn n",
            "4");
        row("repeat zero times", "set n to 0\nrepeat 0 times\nset n to 1\nend repeat\nreturn n",
            "0");
        row("repeat in list",
            "set s to \"\"\nrepeat with x in {\"a\", 1, 2.5}\nset s "
            "to s & x\nend repeat\nreturn s",
            "a12.5");
        row("repeat from to by",
            "set s to \"\"\nrepeat with i from 10 to 1 by -3\nset s to s & i & \",\"\nend "
            "repeat\nreturn s",
            "10,7,4,1,");
        row("repeat while",
            "set n to 1\nrepeat while n < 100\nset n to n * 2\nend repeat\nreturn n", "128");
        row("repeat until", "set n to 1\nrepeat until n > 5\nset n to n + 2\nend repeat\nreturn n",
            "7");
        row("repeat for ever",
            "set n to 0\nrepeat\nset n to n + 1\nif n = 5 then exit repeat\nend repeat\nreturn n",
            "5");
        row("exit repeat leaves the innermost loop",
            "set total to 0\nrepeat with i in {1, 2, 3}\n  repeat 10 times\n    set total to "
            "total + 1\n    if total mod 2 = 0 then exit repeat\n  end repeat\n  set total to "
            "total + 100\nend repeat\nreturn total",
            "306");
        row("return inside loops and tell ends the script",
            "tell application \"Music\"\n  repeat with i from 1 to 10\n    try\n      if i = 3 "
            "then return \"at \" & i\n    end try\n  end repeat\nend tell\nreturn \"not "
            "reached\"",
            "at 3");
        row("if takes the first true branch",
            "set r to \"\"\nrepeat with x in {1, 2, 3}\n  if x = 1 then\n    set r to r & "
            "\"one\"\n  else if x = 2 then\n    set r to r & \"two\"\n  else\n    set r to r & "
            "\"many\"\n  end if\nend repeat\nreturn r",
            "onetwomany");
        row("and stops at false", "return false and undefinedThing", "false");
        row("or stops at true", "return true or undefinedThing", "true");
        row("and goes on at true", "return true and undefinedThing",
            "script_error|line=1|message=The variable undefinedThing is not defined.|"
            "number=-2753");
        row("no return: the last result", "set x to 5\nset y to x * 2", "10");
        row("no return after a command", "set x to 5\ntell application \"Music\" to pause",
            "empty_result");
        row("a read leaves the variable",
            "set x to {\"a\", \"b\"}\nset y to x\nreturn (x as text) & (y as text) & (x as text)",
            "ababab");
        row("variables ignore case", "set foundTrack to 3\nreturn FOUNDTRACK + foundtrack", "6");
        row("an error in the handler propagates",
            "try\nerror \"first\" number 1\non error m\nerror m & \" again\" number 2\nend try",
            "script_error|line=4|message=first again|number=2");
    }
    void evaluates() {
        QFETCH(QString, source);
        QFETCH(QString, result);
        QCOMPARE(harness->text(source), result);
    }

    void playerStateConstantsBecomeTheirNames() {
        harness->music.state = PlayerState::Paused;
        QCOMPARE(harness->text("tell application \"Music\" to return player state as text"),
                 u"paused"_s);
        QCOMPARE(harness->text("tell application \"Music\" to return player state is paused"),
                 u"true"_s);
        QCOMPARE(harness->text("tell application \"Music\" to return player state is \"paused\""),
                 u"false"_s);
    }

    void tryBindsTheLanguageErrorNumbersAndMessages_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("caught");
        row("undefined variable", "return foundTrack",
            "-2753|The variable foundTrack is not defined.");
        row("no current track", "tell application \"Music\" to get name of current track",
            "-1728|Music got an error: Can't get current track.");
        row("cannot coerce", "return \"abc\" as integer",
            "-1700|Can't make \"abc\" into type integer.");
        row("no such item", "return item 4 of {1, 2, 3}", "-1728|Can't get item 4 of {1, 2, 3}.");
        row("command outside tell", "pause",
            "-1708|\u00ABscript\u00BB doesn't understand the \"pause\" message.");
        row("own error", "error \"boom\" number 42", "42|boom");
        row("bare error", "error", "-2700|An error has occurred.");
        row("division", "return 1 / 0", "-2701|Can't divide 1 by zero.");
        row("condition not boolean", "if 3 then return 1", "-1700|Can't make 3 into type boolean.");
        row("read-only property", "tell application \"Music\" to set running to false",
            "-10006|Can't set running of application \"Music\" to false.");
        row("application not running", "tell application \"Nope\" to play",
            "-1728|Can't get application \"Nope\".");
    }
    void tryBindsTheLanguageErrorNumbersAndMessages() {
        QFETCH(QString, body);
        QFETCH(QString, caught);
        QCOMPARE(::caught(*harness, body), caught);
    }

    void tryWithoutHandlerSwallowsAndRestoresTheTellTarget() {
        harness->music.state = PlayerState::Paused;
        const QString script = u"tell application \"Music\"\n"
                               "  try\n    tell {1, 2}\n      error \"inner\"\n"
                               "    end tell\n  end try\n"
                               "  return player state as text\nend tell"_s;
        QCOMPARE(harness->text(script), u"paused"_s);
    }

    void runningTestsTheApplicationProperty() {
        const QString probe =
            u"if application \"Music\" is not running then return \"off\"\nreturn \"on\""_s;
        QCOMPARE(harness->text(probe), u"on"_s);
        harness->music.running = false;
        QCOMPARE(harness->text(probe), u"off"_s);
        QCOMPARE(harness->text("return application \"Nope\" is running"), u"false"_s);
        QCOMPARE(harness->music.playerStateReads, 0);
    }

    void whoseFiltersTheLibraryOnEveryCondition() {
        harness->music.library = {makeTrack("1", "Song", "A"), makeTrack("2", "song", "B"),
                                  makeTrack("3", "Song", "a"), makeTrack("4", "Songs", "A")};
        const QString script =
            u"tell application \"Music\"\n"
            "  set hits to every track of library playlist 1 whose name is \"SONG\" and artist is "
            "\"a\"\n"
            "  set ids to \"\"\n  repeat with t in hits\n    set ids to ids & persistent ID of t\n"
            "  end repeat\n  return ids & \"/\" & (count of tracks of library playlist 1)\nend "
            "tell"_s;
        QCOMPARE(harness->text(script), u"13/4"_s);
    }

    void propertiesOfAListOfTracksAreReadPerTrack() {
        harness->music.library = {makeTrack("1", "One", "A"), makeTrack("2", "Two", "B")};
        QCOMPARE(
            harness->text("tell application \"Music\" to return (name of every track of library "
                          "playlist 1) as text"),
            u"OneTwo"_s);
        QCOMPARE(
            harness->text(
                "tell application \"Music\" to return artist of track 2 of library playlist 1"),
            u"B"_s);
    }

    void seekTargetsAreCoercedToNumbers() {
        harness->text("tell application \"Music\" to set player position to \"12.5\"");
        QCOMPARE(harness->music.seeks, std::vector<double>{12.5});
        QVERIFY(harness->run("tell application \"Music\" to set player position to \"soon\"")
                    .isFailure());
        QCOMPARE(harness->music.seeks.size(), std::size_t(1));
    }

    void aLongLoopWithoutDelayLetsTheEventLoopRun() {
        bool otherWorkRan = false;
        QMetaObject::invokeMethod(
            qApp, [&otherWorkRan] { otherWorkRan = true; }, Qt::QueuedConnection);
        auto task = harness->runner.run(
            u"set n to 0\nrepeat 5000 times\nset n to n + 1\nend repeat\nreturn n"_s);
        QVERIFY(!task.isReady());
        QVERIFY(!otherWorkRan);
        VirtualClock::drainEvents();
        QVERIFY(otherWorkRan);
        QVERIFY(task.isReady());
        QCOMPARE(QCoro::waitFor(task).text(), u"5000"_s);
    }
};

QTEST_GUILESS_MAIN(ScriptEvaluatorTest)
#include "script_evaluator_test.moc"
