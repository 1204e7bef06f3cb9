#include "src/stream/http_head.h"

#include <QList>
#include <QRandomGenerator>

namespace sonavert::stream {

namespace {

std::optional<qint64> decimal(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    for (const char c : text)
        if (c < '0' || c > '9')
            return std::nullopt;
    return text.toLongLong();
}

QByteArray reasonOf(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 416:
        return "Range Not Satisfiable";
    case 431:
        return "Request Header Fields Too Large";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

std::optional<qsizetype> requestHeadEnd(const QByteArray& buffer) {
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    return end < 0 ? std::nullopt : std::optional(end + 4);
}

std::optional<RequestHead> parseRequestHead(const QByteArray& text) {
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty())
        return std::nullopt;
    const QList<QByteArray> request = lines.first().trimmed().split(' ');
    if (request.size() != 3 || !request.at(2).startsWith("HTTP/1.") || request.at(0).isEmpty() ||
        !request.at(1).startsWith('/'))
        return std::nullopt;
    RequestHead head{request.at(0), request.at(1), {}};
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        head.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    return head;
}

RangeRequest rangeOf(const QByteArray& header, qint64 size) {
    const QByteArray value = header.trimmed();
    if (!value.startsWith("bytes=") || value.contains(','))
        return {};
    const QByteArray spec = value.mid(6).trimmed();
    const qsizetype dash = spec.indexOf('-');
    if (dash < 0)
        return {};
    const QByteArray from = spec.left(dash).trimmed();
    const QByteArray to = spec.mid(dash + 1).trimmed();
    if (from.isEmpty()) { // the last n bytes
        const auto count = decimal(to);
        if (!count || *count == 0)
            return count ? RangeRequest{RangeRequest::Kind::Unsatisfiable, {}} : RangeRequest{};
        if (size == 0)
            return {RangeRequest::Kind::Unsatisfiable, {}};
        return {RangeRequest::Kind::Part, {std::max<qint64>(0, size - *count), size - 1}};
    }
    const auto first = decimal(from);
    const auto last = to.isEmpty() ? std::optional<qint64>(size - 1) : decimal(to);
    if (!first || !last)
        return {};
    if (*first >= size)
        return {RangeRequest::Kind::Unsatisfiable, {}};
    if (*last < *first)
        return {};
    return {RangeRequest::Kind::Part, {*first, std::min(*last, size - 1)}};
}

QString unguessablePathSegment(qsizetype bytes) {
    QByteArray random(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(random.begin(), random.end());
    return QString::fromLatin1(
        random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray responseHead(int status, const QList<std::pair<QByteArray, QByteArray>>& headers) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) + "\r\n";
    for (const auto& [name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    return head;
}

} // namespace sonavert::stream
