#pragma once

#include "server/http/http_limits.h"

#include <QByteArray>
#include <QByteArrayView>

namespace sonavert::cloud {

/// Follows the requests on one HTTP/1.1 connection byte by byte, keeping only counters and the
/// current line, so that oversized headers and bodies are recognised before anything buffers
/// them. Mirrors how the HTTP server frames requests: header until an empty line, then a
/// Content-Length or chunked body; a WebSocket upgrade ends the HTTP part of the connection.
class RequestScanner {
public:
    enum class Phase { Idle, Header, Body, Upgraded };
    enum class Verdict { Fine, HeaderTooLarge, BodyTooLarge, Malformed };

    explicit RequestScanner(const HttpLimits& limits);

    /// Scans the next bytes of the connection. After anything but Fine the connection must be
    /// refused: nothing more is scanned.
    Verdict feed(QByteArrayView bytes);
    Phase phase() const { return m_phase; }
    /// Requests whose end has been seen.
    int completedRequests() const { return m_completed; }

private:
    enum class BodyPart { Sized, ChunkSize, ChunkData, ChunkEnd, Trailer };

    Verdict headerByte(char c);
    Verdict headerLineDone();
    Verdict contentLengthField(const QByteArray& value);
    Verdict headerDone();
    qsizetype bodyBytes(QByteArrayView bytes, Verdict& verdict);
    Verdict chunkLineDone();
    Verdict addBody(qint64 bytes);
    void requestDone();

    const HttpLimits& m_limits;
    Phase m_phase = Phase::Idle;
    Verdict m_verdict = Verdict::Fine;
    QByteArray m_line;
    qsizetype m_headerBytes = 0;
    int m_lines = 0;
    qint64 m_contentLength = 0;
    bool m_hasContentLength = false;
    bool m_isChunked = false;
    bool m_asksUpgrade = false;
    bool m_isWebSocket = false;
    BodyPart m_bodyPart = BodyPart::Sized;
    qint64 m_bodyLeft = 0;
    qint64 m_bodyTotal = 0;
    int m_completed = 0;
};

} // namespace sonavert::cloud
