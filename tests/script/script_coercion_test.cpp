#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;

class ScriptCoercionTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void writesRealsAsTheLanguageDoes_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("fraction") << 12.5 << QStringLiteral("12.5");
        QTest::newRow("whole real keeps its point") << 60.0 << QStringLiteral("60.0");
        QTest::newRow("zero") << 0.0 << QStringLiteral("0.0");
        QTest::newRow("negative") << -3.25 << QStringLiteral("-3.25");
        QTest::newRow("just below ten thousand") << 9999.5 << QStringLiteral("9999.5");
        QTest::newRow("ten thousand") << 10000.0 << QStringLiteral("1.0E+4");
        QTest::newRow("large with fraction") << 12345.5 << QStringLiteral("1.23455E+4");
        QTest::newRow("very large") << 1.5e20 << QStringLiteral("1.5E+20");
        QTest::newRow("small") << 0.001 << QStringLiteral("0.001");
        QTest::newRow("very small") << 0.00001 << QStringLiteral("1.0E-5");
        QTest::newRow("twelve digits") << (1.0 / 3.0) << QStringLiteral("0.333333333333");
        QTest::newRow("float noise hidden") << (0.1 + 0.2) << QStringLiteral("0.3");
    }
    void writesRealsAsTheLanguageDoes() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(formatReal(value), text);
        QCOMPARE(toText(ScriptValue::real(value)).value(), text);
    }

    void coercesToText() {
        QCOMPARE(toText(ScriptValue::number(12)).value(), QStringLiteral("12"));
        QCOMPARE(toText(ScriptValue::boolean(true)).value(), QStringLiteral("true"));
        QCOMPARE(toText(ScriptValue::constant(QStringLiteral("playing"))).value(),
                 QStringLiteral("playing"));
        QCOMPARE(toText(ScriptValue::missing()).value(), QStringLiteral("missing value"));
        const ScriptValue mixed =
            ScriptValue::list({ScriptValue::text(QStringLiteral("a")), ScriptValue::number(1),
                               ScriptValue::real(2.5)});
        QCOMPARE(toText(mixed).value(), QStringLiteral("a12.5"));
    }

    void objectsHaveNoTextForm() {
        const auto text = toText(ScriptValue::application(QStringLiteral("Music")));
        QVERIFY(!text);
        QCOMPARE(text.error().code, ErrorNumber::kCantMakeInto);
        QCOMPARE(text.error().description,
                 QStringLiteral("Can't make application \"Music\" into type text."));
    }

    void readsNumbersFromText() {
        const auto integer = toNumber(ScriptValue::text(QStringLiteral(" 42 ")));
        QVERIFY(integer && integer.value().is(ScriptValue::Kind::Integer));
        QCOMPARE(integer.value().asInteger(), 42);
        const auto real = toNumber(ScriptValue::text(QStringLiteral("12.5")));
        QVERIFY(real && real.value().is(ScriptValue::Kind::Real));
        QCOMPARE(real.value().asReal(), 12.5);
        const auto word = toNumber(ScriptValue::text(QStringLiteral("12,5x")));
        QVERIFY(!word);
        QCOMPARE(word.error().description,
                 QStringLiteral("Can't make \"12,5x\" into type number."));
    }

    void integerCoercionRoundsHalvesToEven() {
        QCOMPARE(coerce(ScriptValue::real(2.5), ScriptType::Integer).value().asInteger(), 2);
        QCOMPARE(coerce(ScriptValue::real(3.5), ScriptType::Integer).value().asInteger(), 4);
        QCOMPARE(coerce(ScriptValue::real(-1.6), ScriptType::Integer).value().asInteger(), -2);
        QCOMPARE(coerce(ScriptValue::text(QStringLiteral("7")), ScriptType::Real).value().asReal(),
                 7.0);
        QVERIFY(coerce(ScriptValue::text(QStringLiteral("7")), ScriptType::Real)
                    .value()
                    .is(ScriptValue::Kind::Real));
        const auto tooBig = coerce(ScriptValue::real(1e12), ScriptType::Integer);
        QVERIFY(!tooBig);
        QCOMPARE(tooBig.error().description,
                 QStringLiteral("Can't make 1.0E+12 into type integer."));
    }

    void booleansComeFromTheirNamesOnly() {
        QCOMPARE(toBoolean(ScriptValue::text(QStringLiteral("TRUE"))).value(), true);
        QCOMPARE(toBoolean(ScriptValue::number(0)).value(), false);
        QVERIFY(!toBoolean(ScriptValue::text(QStringLiteral("yes"))));
        QVERIFY(!toBoolean(ScriptValue::number(2)));
    }

    void resultTextFormLeavesOutValuesWithoutText() {
        QVERIFY(!resultTextForm(ScriptValue::missing()));
        QVERIFY(!resultTextForm(ScriptValue::list({ScriptValue::number(1)})));
        QVERIFY(!resultTextForm(ScriptValue::track(QStringLiteral("Music"), ScriptTrack{})));
        QCOMPARE(resultTextForm(ScriptValue::real(60.0)), QStringLiteral("60.0"));
        QCOMPARE(resultTextForm(ScriptValue::constant(QStringLiteral("paused"))),
                 QStringLiteral("paused"));
    }

    void integersBeyondTheLanguageRangeBecomeReals() {
        QVERIFY(ScriptValue::number(ScriptValue::kIntegerLimit).is(ScriptValue::Kind::Integer));
        QVERIFY(ScriptValue::number(ScriptValue::kIntegerLimit + 1).is(ScriptValue::Kind::Real));
    }
};

QTEST_GUILESS_MAIN(ScriptCoercionTest)
#include "script_coercion_test.moc"
