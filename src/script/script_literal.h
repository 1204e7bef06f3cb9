#pragma once

#include <QString>

namespace sonavert {

/// A text as a string literal of the scripting language: backslashes doubled, then double
/// quotes escaped, then the whole in double quotes. Splicing this into a script text makes
/// the script see exactly `text`, whatever quotes or backslashes it holds.
QString quoteForScript(const QString& text);

/// A number as a script literal: the shortest decimal that reads back to the same double,
/// always with a point and at least one digit after it ("0.0", "3.5", "60.0"); magnitudes
/// below 0.0001 or from 2^53 on take an exponent form ("1e-05", "1e+16").
QString scriptNumberLiteral(double value);

} // namespace sonavert
