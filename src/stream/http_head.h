#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

namespace sonavert::stream {

/// The most a request head may take, request line and headers together. A player's or a
/// peer's GET is a few hundred bytes; more is someone else.
inline constexpr qsizetype kMaxRequestHeadBytes = qsizetype{8} * 1024;

/// A request line and its headers, names in lower case.
struct RequestHead {
    QByteArray method;
    QByteArray target;
    QMap<QByteArray, QByteArray> headers;
};

/// Where the head ends in `buffer` (the index after its blank line), or nothing yet.
std::optional<qsizetype> requestHeadEnd(const QByteArray& buffer);
/// The head in `text` (up to and including its blank line); nothing when it is not HTTP/1.x.
std::optional<RequestHead> parseRequestHead(const QByteArray& text);

/// The bytes [first, last] of a file of `size` bytes that a Range header asks for.
struct ByteRange {
    qint64 first = 0;
    qint64 last = 0;
    qint64 length() const { return last - first + 1; }
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

/// What a Range header asks of a file of `size` bytes.
struct RangeRequest {
    enum class Kind { Whole, Part, Unsatisfiable };
    Kind kind = Kind::Whole;
    ByteRange range;
};
/// "bytes=a-b", "bytes=a-" and "bytes=-n" select a part; an empty, malformed or multi-part
/// header selects the whole file (a server may ignore a Range it does not serve); a range
/// starting at or beyond the end is unsatisfiable.
RangeRequest rangeOf(const QByteArray& header, qint64 size);

/// `bytes` random bytes from the system's generator as unpadded base64url: a path segment no
/// one can guess.
QString unguessablePathSegment(qsizetype bytes);

/// "HTTP/1.1 <status> <reason>\r\n" and the given headers, then the blank line.
QByteArray responseHead(int status, const QList<std::pair<QByteArray, QByteArray>>& headers);

} // namespace sonavert::stream
