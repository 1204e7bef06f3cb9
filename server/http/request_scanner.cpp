#include "server/http/request_scanner.h"

#include <algorithm>

namespace sonavert::cloud {

namespace {

// A chunk-size or trailer line is a few dozen bytes; anything longer is not HTTP.
constexpr qsizetype kMaxBodyLineBytes = 1024;
// Fifteen hex digits already exceed any body limit; more could overflow the count.
constexpr qsizetype kMaxChunkSizeDigits = 15;

bool isBlank(char c) {
    return c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\v';
}

// Eighteen decimal digits still fit a qint64; a longer length is beyond every body limit.
constexpr qsizetype kMaxLengthDigits = 18;

bool isDecimal(const QByteArray& value) {
    return !value.isEmpty() &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QByteArray withoutCarriageReturn(const QByteArray& line) {
    return line.endsWith('\r') ? line.chopped(1) : line;
}

} // namespace

RequestScanner::RequestScanner(const HttpLimits& limits)
    : m_limits(limits) {}

RequestScanner::Verdict RequestScanner::feed(QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size() && m_verdict == Verdict::Fine && m_phase != Phase::Upgraded) {
        if (m_phase == Phase::Idle) {
            // What trails a request (a stray line end) is skipped, as the parser does.
            if (isBlank(bytes[at])) {
                ++at;
                continue;
            }
            m_phase = Phase::Header;
        }
        if (m_phase == Phase::Header)
            m_verdict = headerByte(bytes[at++]);
        else
            at += bodyBytes(bytes.sliced(at), m_verdict);
    }
    return m_verdict;
}

RequestScanner::Verdict RequestScanner::headerByte(char c) {
    if (++m_headerBytes > m_limits.maxHeaderBytes)
        return Verdict::HeaderTooLarge;
    if (c != '\n') {
        m_line.append(c);
        return Verdict::Fine;
    }
    return headerLineDone();
}

RequestScanner::Verdict RequestScanner::headerLineDone() {
    const QByteArray line = withoutCarriageReturn(m_line);
    m_line.clear();
    if (line.isEmpty())
        return headerDone();
    // The first line is the request line; every other one a field.
    if (++m_lines - 1 > m_limits.maxHeaderFields)
        return Verdict::HeaderTooLarge;
    const qsizetype colon = line.indexOf(':');
    if (m_lines == 1 || colon < 0)
        return Verdict::Fine;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed().toLower();
    if (name == "content-length")
        return contentLengthField(value);
    if (name == "transfer-encoding") {
        m_isChunked = m_isChunked || value.contains("chunked");
    } else if (name == "connection") {
        m_asksUpgrade = m_asksUpgrade || value.contains("upgrade");
    } else if (name == "upgrade") {
        m_isWebSocket = value == "websocket";
    }
    return Verdict::Fine;
}

RequestScanner::Verdict RequestScanner::contentLengthField(const QByteArray& value) {
    // A length that parsers may read differently (a sign, a second field) is how one request
    // is smuggled inside another: refused rather than guessed at.
    if (!isDecimal(value) || m_hasContentLength)
        return Verdict::Malformed;
    if (value.size() > kMaxLengthDigits)
        return Verdict::BodyTooLarge;
    m_hasContentLength = true;
    m_contentLength = value.toLongLong();
    return Verdict::Fine;
}

RequestScanner::Verdict RequestScanner::headerDone() {
    if (m_asksUpgrade && m_isWebSocket) {
        m_phase = Phase::Upgraded;
        return Verdict::Fine;
    }
    if (m_isChunked) {
        m_phase = Phase::Body;
        m_bodyPart = BodyPart::ChunkSize;
        return Verdict::Fine;
    }
    if (m_contentLength > m_limits.maxBodyBytes)
        return Verdict::BodyTooLarge;
    if (m_contentLength == 0) {
        requestDone();
        return Verdict::Fine;
    }
    m_phase = Phase::Body;
    m_bodyPart = BodyPart::Sized;
    m_bodyLeft = m_contentLength;
    return Verdict::Fine;
}

qsizetype RequestScanner::bodyBytes(QByteArrayView bytes, Verdict& verdict) {
    if (m_bodyPart == BodyPart::Sized || m_bodyPart == BodyPart::ChunkData) {
        const qsizetype taken = std::min<qint64>(m_bodyLeft, bytes.size());
        m_bodyLeft -= taken;
        if (m_bodyLeft == 0 && m_bodyPart == BodyPart::Sized)
            requestDone();
        else if (m_bodyLeft == 0)
            m_bodyPart = BodyPart::ChunkEnd;
        return taken;
    }
    const char c = bytes.front();
    if (c != '\n') {
        m_line.append(c);
        if (m_line.size() > kMaxBodyLineBytes)
            verdict = Verdict::Malformed;
        return 1;
    }
    verdict = chunkLineDone();
    return 1;
}

RequestScanner::Verdict RequestScanner::chunkLineDone() {
    const QByteArray line = withoutCarriageReturn(m_line);
    m_line.clear();
    switch (m_bodyPart) {
    case BodyPart::ChunkEnd:
        m_bodyPart = BodyPart::ChunkSize;
        return Verdict::Fine;
    case BodyPart::Trailer:
        if (line.isEmpty())
            requestDone();
        return Verdict::Fine;
    case BodyPart::ChunkSize:
        break;
    case BodyPart::Sized:
    case BodyPart::ChunkData:
        return Verdict::Malformed;
    }
    const qsizetype extension = line.indexOf(';');
    const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
    if (digits.size() > kMaxChunkSizeDigits)
        return Verdict::BodyTooLarge;
    bool isNumber = false;
    const qint64 size = digits.toLongLong(&isNumber, 16);
    if (!isNumber || size < 0)
        return Verdict::Malformed;
    if (size == 0) {
        m_bodyPart = BodyPart::Trailer;
        return Verdict::Fine;
    }
    m_bodyPart = BodyPart::ChunkData;
    m_bodyLeft = size;
    return addBody(size);
}

RequestScanner::Verdict RequestScanner::addBody(qint64 bytes) {
    m_bodyTotal += bytes;
    return m_bodyTotal > m_limits.maxBodyBytes ? Verdict::BodyTooLarge : Verdict::Fine;
}

void RequestScanner::requestDone() {
    ++m_completed;
    m_phase = Phase::Idle;
    m_headerBytes = 0;
    m_lines = 0;
    m_contentLength = 0;
    m_hasContentLength = false;
    m_isChunked = false;
    m_asksUpgrade = false;
    m_isWebSocket = false;
    m_bodyLeft = 0;
    m_bodyTotal = 0;
}

} // namespace sonavert::cloud
