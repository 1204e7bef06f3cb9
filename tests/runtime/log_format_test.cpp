#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

// An event's format is checked against its call while compiling: each case below is one a
// call would meet (the letters stand for text, integer and real arguments).
static_assert(detail::fitsArguments("a=%{public}s b=%{public}ld c=%{public}f", "sdf", 3));
static_assert(detail::fitsArguments("a=%{private,mask.hash}s b=%%", "s", 1));
static_assert(detail::fitsArguments("real=%{public}f", "d", 1), "an integer prints as a real");
static_assert(detail::fitsArguments("plain", "", 0));
static_assert(!detail::fitsArguments("a=%{public}s b=%{public}s", "s", 1), "one missing");
static_assert(!detail::fitsArguments("a=%{public}s", "ss", 2), "one too many");
static_assert(!detail::fitsArguments("n=%{public}ld", "s", 1), "text where a number prints");
static_assert(!detail::fitsArguments("n=%{public}d", "f", 1), "a real where an integer prints");
static_assert(!detail::fitsArguments("100%%", "s", 1), "%% takes no argument");

/// One row of the specifier table.
void row(const char* name, const char* format, const QVariantList& args, const char* expected) {
    QTest::newRow(name) << QByteArray(format) << args << QString::fromUtf8(expected);
}

} // namespace

class LogFormatTest : public QObject {
    Q_OBJECT

    LogPrivacy redacted{false, QByteArray("salt-one")};

private Q_SLOTS:
    void rendersEachSpecifier_data() {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("expected");
        row("public text", "id=%{public}s", {"6F9619FF"}, "id=6F9619FF");
        row("private text", "error=%{private}s", {"boom"}, "error=<private>");
        row("plain text is private", "x=%s", {"v"}, "x=<private>");
        row("public long", "n=%{public}ld", {qint64(-42)}, "n=-42");
        row("plain number is public", "n=%d", {qint64(7)}, "n=7");
        row("six decimals", "d=%{public}f", {1.5}, "d=1.500000");
        row("rounded decimals", "d=%{public}f", {0.1234567}, "d=0.123457");
        row("bool true", "b=%{bool,public}d", {true}, "b=true");
        row("bool false", "b=%{bool,public}d", {false}, "b=false");
        row("percent", "100%% x=%{public}s", {"y"}, "100% x=y");
        row("missing argument", "a=%{public}s b=%{public}s", {"1"}, "a=1 b=<missing>");
        row("several", "event=e a=%{public}s n=%{public}ld ok=%{bool,public}d",
            {"x", qint64(3), true}, "event=e a=x n=3 ok=true");
    }
    void rendersEachSpecifier() {
        QFETCH(QByteArray, format);
        QFETCH(QVariantList, args);
        QFETCH(QString, expected);
        std::vector<LogValue> values;
        for (const QVariant& v : args) {
            if (v.typeId() == QMetaType::Bool)
                values.emplace_back(v.toBool());
            else if (v.typeId() == QMetaType::Double)
                values.emplace_back(v.toDouble());
            else if (v.typeId() == QMetaType::LongLong)
                values.emplace_back(v.toLongLong());
            else
                values.emplace_back(v.toString());
        }
        QCOMPARE(renderLogFormat(format.constData(), values, redacted), expected);
    }

    void maskHashIsStableWithinARunAndHidesTheValue() {
        const char* format = "song=%{private,mask.hash}s";
        const QString a = renderLogFormat(format, {u"Clair de Lune"_s}, redacted);
        const QString b = renderLogFormat(format, {u"Clair de Lune"_s}, redacted);
        const QString other = renderLogFormat(format, {u"Gymnopédie"_s}, redacted);
        QCOMPARE(a, b);
        QVERIFY(a != other);
        QVERIFY(a.startsWith(u"song=<mask.hash: '"_s) && a.endsWith(u"'>"_s));
        QVERIFY(!a.contains(u"Clair"_s));
        // Another run (another salt) cannot be linked to this one.
        LogPrivacy otherRun{false, QByteArray("salt-two")};
        QVERIFY(renderLogFormat(format, {u"Clair de Lune"_s}, otherRun) != a);
    }

    void privateLoggingShowsValuesInClear() {
        const LogPrivacy open{true, QByteArray("s")};
        QCOMPARE(renderLogFormat("a=%{private}s b=%{private,mask.hash}s", {u"x"_s, u"y"_s}, open),
                 u"a=x b=y"_s);
    }

    void channelDeliversCategoryLevelAndRenderedText() {
        CapturingLogSink sink;
        logEvent(LogCategory::Nearby, LogLevel::Info, "event=found id=%{public}s n=%{public}ld",
                 u"ABCDEFGH"_s, 36);
        const auto records = sink.records();
        QCOMPARE(records.size(), std::size_t(1));
        QCOMPARE(records[0].category, LogCategory::Nearby);
        QCOMPARE(records[0].level, LogLevel::Info);
        QCOMPARE(records[0].message, u"event=found id=ABCDEFGH n=36"_s);
        QCOMPARE(categoryName(LogCategory::CloudKit), u"cloudkit"_s);
    }

    void nestedCaptureRestoresTheOuterSink() {
        CapturingLogSink outer;
        {
            CapturingLogSink inner;
            logEvent(LogCategory::Pull, LogLevel::Default, "event=inner");
            QCOMPARE(inner.messages(), QStringList{"event=inner"});
        }
        logEvent(LogCategory::Pull, LogLevel::Default, "event=outer");
        QCOMPARE(outer.messages(), QStringList{"event=outer"});
    }
};

QTEST_GUILESS_MAIN(LogFormatTest)
#include "log_format_test.moc"
