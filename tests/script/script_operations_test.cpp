#include "src/script/script_errors.h"
#include "src/script/script_operations.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;
using namespace Qt::StringLiterals;

namespace {

ScriptValue text(const char* t) {
    return ScriptValue::text(QString::fromUtf8(t));
}
ScriptValue num(qint64 n) {
    return ScriptValue::number(n);
}
ScriptValue real(double r) {
    return ScriptValue::real(r);
}
ScriptValue list(ScriptValue::List items) {
    return ScriptValue::list(std::move(items));
}

bool holds(BinaryOp op, const ScriptValue& a, const ScriptValue& b) {
    const auto result = applyBinary(op, a, b);
    return result && result.value().asBoolean();
}

} // namespace

class ScriptOperationsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void equalityIgnoresCaseButNotDiacriticsOrClass() {
        QVERIFY(valuesEqual(text("Hello World"), text("hello WORLD")));
        QVERIFY(!valuesEqual(text("caf\xc3\xa9"), text("cafe")));
        QVERIFY(valuesEqual(text("\xc3\x89t\xc3\xa9"), text("\xc3\xa9T\xc3\x89")));
        QVERIFY(valuesEqual(num(1), real(1.0)));
        QVERIFY(!valuesEqual(text("1"), num(1)));
        QVERIFY(valuesEqual(list({num(1), text("A")}), list({real(1.0), text("a")})));
        QVERIFY(!valuesEqual(list({num(1)}), list({num(1), num(2)})));
        QVERIFY(valuesEqual(ScriptValue::missing(), ScriptValue::missing()));
        QVERIFY(!valuesEqual(ScriptValue::missing(), text("")));
        QVERIFY(
            valuesEqual(ScriptValue::constant(u"playing"_s), ScriptValue::constant(u"playing"_s)));
        QVERIFY(!valuesEqual(ScriptValue::constant(u"playing"_s), text("playing")));
        QVERIFY(holds(BinaryOp::NotEqual, text("a"), text("b")));
    }

    void orderingCoercesTheRightOperandToTheLeftClass() {
        QVERIFY(holds(BinaryOp::Greater, num(10), text("9")));  // numeric
        QVERIFY(!holds(BinaryOp::Greater, text("10"), num(9))); // as text: "10" < "9"
        QVERIFY(holds(BinaryOp::GreaterOrEqual, real(58.0), num(58)));
        QVERIFY(!holds(BinaryOp::GreaterOrEqual, real(57.99), num(58)));
        QVERIFY(holds(BinaryOp::LessOrEqual, real(1.0), num(1)));
        QVERIFY(holds(BinaryOp::Less, text("apple"), text("BANANA")));
        const auto mismatch = applyBinary(BinaryOp::Less, num(1), text("x"));
        QVERIFY(!mismatch);
        QVERIFY(mismatch.error().is(ErrorNumber::CantMakeInto));
    }

    void containmentWorksOnTextAndLists() {
        QVERIFY(holds(BinaryOp::Contains, text("The Beatles feat. X"), text("beatles")));
        QVERIFY(!holds(BinaryOp::Contains, text("Beatles"), text("Stones")));
        QVERIFY(holds(BinaryOp::Contains, text("track 12"), num(12)));
        QVERIFY(holds(BinaryOp::StartsWith, text("Chill Mix Radio"), text("chill")));
        QVERIFY(!holds(BinaryOp::StartsWith, text("Radio Chill"), text("chill")));
        QVERIFY(holds(BinaryOp::EndsWith, text("Radio Chill"), text("CHILL")));
        QVERIFY(holds(BinaryOp::DoesNotContain, text("abc"), text("d")));
        const ScriptValue items = list({num(1), num(2), num(3)});
        QVERIFY(holds(BinaryOp::Contains, items, num(2)));
        QVERIFY(holds(BinaryOp::Contains, items, list({num(2), num(3)})));
        QVERIFY(!holds(BinaryOp::Contains, items, list({num(1), num(3)})));
        QVERIFY(holds(BinaryOp::StartsWith, items, num(1)));
        QVERIFY(!holds(BinaryOp::EndsWith, items, num(1)));
        QVERIFY(holds(BinaryOp::IsIn, num(3), items));
        QVERIFY(holds(BinaryOp::IsNotIn, num(4), items));
    }

    void concatenationFollowsTheLeftOperand() {
        const auto joined = applyBinary(BinaryOp::Concatenate, text("target="), real(60.0));
        QCOMPARE(joined.value().asText(), u"target=60.0"_s);
        const auto withNumber = applyBinary(BinaryOp::Concatenate, text("n="), num(-1728));
        QCOMPARE(withNumber.value().asText(), u"n=-1728"_s);
        const auto pair = applyBinary(BinaryOp::Concatenate, num(1), text("a"));
        QVERIFY(pair.value().is(ScriptValue::Kind::List));
        QVERIFY(valuesEqual(pair.value(), list({num(1), text("a")})));
        const auto flat =
            applyBinary(BinaryOp::Concatenate, list({num(1)}), list({num(2), num(3)}));
        QCOMPARE(flat.value().asList().size(), std::size_t(3));
        const auto textWithList =
            applyBinary(BinaryOp::Concatenate, text("x"), list({num(1), text("y")}));
        QCOMPARE(textWithList.value().asText(), u"x1y"_s);
        const auto textWithObject =
            applyBinary(BinaryOp::Concatenate, text("x"), ScriptValue::application(u"Music"_s));
        QVERIFY(textWithObject.value().is(ScriptValue::Kind::List));
    }

    void arithmeticKeepsIntegersUntilTheyOverflow() {
        const auto sum = applyBinary(BinaryOp::Add, num(2), num(3));
        QVERIFY(sum.value().is(ScriptValue::Kind::Integer));
        QCOMPARE(sum.value().asInteger(), 5);
        QVERIFY(applyBinary(BinaryOp::Subtract, real(60.0), num(2))
                    .value()
                    .is(ScriptValue::Kind::Real));
        const auto quotient = applyBinary(BinaryOp::Divide, num(6), num(3));
        QVERIFY(quotient.value().is(ScriptValue::Kind::Real));
        QCOMPARE(applyBinary(BinaryOp::IntegerDivide, num(-7), num(2)).value().asInteger(), -3);
        QCOMPARE(applyBinary(BinaryOp::Modulo, num(-7), num(2)).value().asInteger(), -1);
        QCOMPARE(applyBinary(BinaryOp::Add, text("3"), num(4)).value().asInteger(), 7);
        const auto big = applyBinary(BinaryOp::Multiply, num(100000), num(100000));
        QVERIFY(big.value().is(ScriptValue::Kind::Real));
        QCOMPARE(big.value().asReal(), 1e10);
    }

    void arithmeticFailuresCarryTheLanguageNumbers() {
        const auto byZero = applyBinary(BinaryOp::Divide, num(1), num(0));
        QVERIFY(!byZero);
        QVERIFY(byZero.error().is(ErrorNumber::DivideByZero));
        QVERIFY(!applyBinary(BinaryOp::Modulo, num(1), real(0.0)));
        const auto word = applyBinary(BinaryOp::Add, text("x"), num(1));
        QVERIFY(!word);
        QVERIFY(word.error().is(ErrorNumber::CantMakeInto));
    }

    void unaryOperators() {
        QCOMPARE(applyUnary(UnaryOp::Negate, num(5)).value().asInteger(), -5);
        QCOMPARE(applyUnary(UnaryOp::Negate, text("2.5")).value().asReal(), -2.5);
        QCOMPARE(applyUnary(UnaryOp::Not, ScriptValue::boolean(false)).value().asBoolean(), true);
        QVERIFY(!applyUnary(UnaryOp::Not, text("maybe")));
    }
};

QTEST_GUILESS_MAIN(ScriptOperationsTest)
#include "script_operations_test.moc"
