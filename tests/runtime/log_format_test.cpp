#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class LogFormatTest : public QObject {
    Q_OBJECT

    LogPrivacy redacted{false, QByteArray("salt-one")};

private Q_SLOTS:
    void rendersEachSpecifier_data() {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("expected");
        QTest::newRow("public text")
            << QByteArray("id=%{public}s") << QVariantList{"6F9619FF"} << "id=6F9619FF";
        QTest::newRow("private text")
            << QByteArray("error=%{private}s") << QVariantList{"boom"} << "error=<private>";
        QTest::newRow("plain text is private")
            << QByteArray("x=%s") << QVariantList{"v"} << "x=<private>";
        QTest::newRow("public long")
            << QByteArray("n=%{public}ld") << QVariantList{qint64(-42)} << "n=-42";
        QTest::newRow("plain number is public")
            << QByteArray("n=%d") << QVariantList{qint64(7)} << "n=7";
        QTest::newRow("six decimals")
            << QByteArray("d=%{public}f") << QVariantList{1.5} << "d=1.500000";
        QTest::newRow("rounded decimals")
            << QByteArray("d=%{public}f") << QVariantList{0.1234567} << "d=0.123457";
        QTest::newRow("bool true")
            << QByteArray("b=%{bool,public}d") << QVariantList{true} << "b=true";
        QTest::newRow("bool false")
            << QByteArray("b=%{bool,public}d") << QVariantList{false} << "b=false";
        QTest::newRow("percent") << QByteArray("100%% x=%{public}s") << QVariantList{"y"}
                                 << "100% x=y";
        QTest::newRow("missing argument")
            << QByteArray("a=%{public}s b=%{public}s") << QVariantList{"1"} << "a=1 b=<missing>";
        QTest::newRow("several") << QByteArray(
                                        "event=e a=%{public}s n=%{public}ld ok=%{bool,public}d")
                                 << QVariantList{"x", qint64(3), true} << "event=e a=x n=3 ok=true";
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
