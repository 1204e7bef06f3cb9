#pragma once

#include <QDateTime>
#include <compare>

namespace sonavert {

/// An absolute instant as seconds (with fraction) since 2001-01-01 00:00:00 UTC.
/// This is the form dates take in every stored and sent JSON value, so keeping it as the
/// in-memory form too means a decoded date re-encodes to the very same number.
struct Timestamp {
    /// Seconds between 1970-01-01 and 2001-01-01 (UTC).
    static constexpr double kReferenceDateUnixSeconds = 978307200.0;

    double secondsSinceReferenceDate = 0.0;

    static Timestamp fromUnixSeconds(double unixSeconds) {
        return {unixSeconds - kReferenceDateUnixSeconds};
    }
    static Timestamp fromUnixMilliseconds(qint64 ms) {
        return fromUnixSeconds(static_cast<double>(ms) / 1000.0);
    }
    double unixSeconds() const { return secondsSinceReferenceDate + kReferenceDateUnixSeconds; }
    qint64 unixMilliseconds() const { return qRound64(unixSeconds() * 1000.0); }
    QDateTime toDateTime() const {
        return QDateTime::fromMSecsSinceEpoch(unixMilliseconds(), Qt::UTC);
    }
    Timestamp addSeconds(double seconds) const { return {secondsSinceReferenceDate + seconds}; }
    double secondsSince(Timestamp earlier) const {
        return secondsSinceReferenceDate - earlier.secondsSinceReferenceDate;
    }

    // clang-tidy 14 mistakes the comparison this generates for a literal 0 pointer.
    // NOLINTBEGIN(modernize-use-nullptr)
    friend auto operator<=>(const Timestamp&, const Timestamp&) = default;
    // NOLINTEND(modernize-use-nullptr)
};

} // namespace sonavert
