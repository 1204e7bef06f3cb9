#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;
using namespace Qt::StringLiterals;

class ScriptCoercionTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void writesRealsAsTheLanguageDoes_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("fraction") << 12.5 << u"12.5"_s;
        QTest::newRow("whole real keeps its point") << 60.0 << u"60.0"_s;
        QTest::newRow("zero") << 0.0 << u"0.0"_s;
        QTest::newRow("negative") << -3.25 << u"-3.25"_s;
        QTest::newRow("just below ten thousand") << 9999.5 << u"9999.5"_s;
        QTest::newRow("ten thousand") << 10000.0 << u"1.0E+4"_s;
        QTest::newRow("large with fraction") << 12345.5 << u"1.23455E+4"_s;
        QTest::newRow("very large") << 1.5e20 << u"1.5E+20"_s;
        QTest::newRow("small") << 0.001 << u"0.001"_s;
        QTest::newRow("very small") << 0.00001 << u"1.0E-5"_s;
        QTest::newRow("twelve digits") << (1.0 / 3.0) << u"0.333333333333"_s;
        QTest::newRow("float noise hidden") << (0.1 + 0.2) << u"0.3"_s;
    }
    void writesRealsAsTheLanguageDoes() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(formatReal(value), text);
        QCOMPARE(toText(ScriptValue::real(value)).value(), text);
    }

    void coercesToText() {
        QCOMPARE(toText(ScriptValue::number(12)).value(), u"12"_s);
        QCOMPARE(toText(ScriptValue::boolean(true)).value(), u"true"_s);
        QCOMPARE(toText(ScriptValue::constant(u"playing"_s)).value(), u"playing"_s);
        QCOMPARE(toText(ScriptValue::missing()).value(), u"missing value"_s);
        const ScriptValue mixed = ScriptValue::list(
            {ScriptValue::text(u"a"_s), ScriptValue::number(1), ScriptValue::real(2.5)});
        QCOMPARE(toText(mixed).value(), u"a12.5"_s);
    }

    void objectsHaveNoTextForm() {
        const auto text = toText(ScriptValue::application(u"Music"_s));
        QVERIFY(!text);
        QVERIFY(text.error().is(ErrorNumber::CantMakeInto));
        QCOMPARE(text.error().description, u"Can't make application \"Music\" into type text."_s);
    }

    void readsNumbersFromText() {
        const auto integer = toNumber(ScriptValue::text(u" 42 "_s));
        QVERIFY(integer && integer.value().is(ScriptValue::Kind::Integer));
        QCOMPARE(integer.value().asInteger(), 42);
        const auto real = toNumber(ScriptValue::text(u"12.5"_s));
        QVERIFY(real && real.value().is(ScriptValue::Kind::Real));
        QCOMPARE(real.value().asReal(), 12.5);
        const auto word = toNumber(ScriptValue::text(u"12,5x"_s));
        QVERIFY(!word);
        QCOMPARE(word.error().description, u"Can't make \"12,5x\" into type number."_s);
    }

    void integerCoercionRoundsHalvesToEven() {
        QCOMPARE(coerce(ScriptValue::real(2.5), ScriptType::Integer).value().asInteger(), 2);
        QCOMPARE(coerce(ScriptValue::real(3.5), ScriptType::Integer).value().asInteger(), 4);
        QCOMPARE(coerce(ScriptValue::real(-1.6), ScriptType::Integer).value().asInteger(), -2);
        QCOMPARE(coerce(ScriptValue::text(u"7"_s), ScriptType::Real).value().asReal(), 7.0);
        QVERIFY(coerce(ScriptValue::text(u"7"_s), ScriptType::Real)
                    .value()
                    .is(ScriptValue::Kind::Real));
        const auto tooBig = coerce(ScriptValue::real(1e12), ScriptType::Integer);
        QVERIFY(!tooBig);
        QCOMPARE(tooBig.error().description, u"Can't make 1.0E+12 into type integer."_s);
    }

    void booleansComeFromTheirNamesOnly() {
        QCOMPARE(toBoolean(ScriptValue::text(u"TRUE"_s)).value(), true);
        QCOMPARE(toBoolean(ScriptValue::number(0)).value(), false);
        QVERIFY(!toBoolean(ScriptValue::text(u"yes"_s)));
        QVERIFY(!toBoolean(ScriptValue::number(2)));
    }

    void resultTextFormLeavesOutValuesWithoutText() {
        QVERIFY(!resultTextForm(ScriptValue::missing()));
        QVERIFY(!resultTextForm(ScriptValue::list({ScriptValue::number(1)})));
        QVERIFY(!resultTextForm(ScriptValue::track(u"Music"_s, ScriptTrack{})));
        QCOMPARE(resultTextForm(ScriptValue::real(60.0)), u"60.0"_s);
        QCOMPARE(resultTextForm(ScriptValue::constant(u"paused"_s)), u"paused"_s);
    }

    void integersBeyondTheLanguageRangeBecomeReals() {
        QVERIFY(ScriptValue::number(ScriptValue::kIntegerLimit).is(ScriptValue::Kind::Integer));
        QVERIFY(ScriptValue::number(ScriptValue::kIntegerLimit + 1).is(ScriptValue::Kind::Real));
    }
};

QTEST_GUILESS_MAIN(ScriptCoercionTest)
#include "script_coercion_test.moc"
