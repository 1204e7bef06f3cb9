#include "src/script/script_literal.h"

#include <charconv>
#include <cmath>
#include <string>

namespace sonavert {

namespace {

/// Beyond this magnitude a double no longer holds every integer, so the fixed form would
/// suggest digits that are not there.
constexpr double kExponentFrom = 9007199254740992.0; // 2^53
constexpr double kExponentBelow = 0.0001;

QString exponentLiteral(double value) {
    char buffer[64];
    const auto written =
        std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific);
    const std::string text(buffer, written.ptr);
    const auto e = text.find('e');
    const int exponent = std::stoi(text.substr(e + 1));
    const QString digits = QString::number(std::abs(exponent)).rightJustified(2, QLatin1Char('0'));
    return QString::fromStdString(text.substr(0, e)) + QLatin1Char('e') +
           QLatin1Char(exponent < 0 ? '-' : '+') + digits;
}

QString fixedLiteral(double value) {
    char buffer[400];
    const auto written =
        std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::fixed);
    QString text = QString::fromLatin1(buffer, written.ptr - buffer);
    if (!text.contains(QLatin1Char('.')))
        text += QLatin1String(".0");
    return text;
}

} // namespace

QString quoteForScript(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString scriptNumberLiteral(double value) {
    const double magnitude = std::fabs(value);
    if (!std::isfinite(value) || magnitude == 0.0 ||
        (magnitude >= kExponentBelow && magnitude < kExponentFrom))
        return std::isfinite(value) ? fixedLiteral(value) : QString::number(value);
    return exponentLiteral(value);
}

} // namespace sonavert
