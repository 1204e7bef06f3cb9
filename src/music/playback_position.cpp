#include "src/music/playback_position.h"

#include <charconv>
#include <cmath>

namespace sonavert {

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

double parsePlaybackPosition(const QString& text) {
    QString number = trimBlanks(text);
    number.replace(QLatin1Char(','), QLatin1Char('.'));
    QByteArray bytes = number.toUtf8();
    // from_chars takes no leading plus, which a number written as text may carry.
    if (bytes.startsWith('+') && !bytes.startsWith("+-"))
        bytes.remove(0, 1);
    const char* first = bytes.constData();
    const char* last = first + bytes.size();
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (bytes.isEmpty() || error != std::errc() || end != last || !std::isfinite(value))
        return 0.0;
    return value;
}

} // namespace sonavert
