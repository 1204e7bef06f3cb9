// How the connection guard frames requests on the raw byte stream: where a request ends, when
// a header or body is too large, and that a WebSocket upgrade ends the HTTP part.
#include "server/http/request_scanner.h"
#include "tests/server/server_test_main.h"

#include <QtTest>

using sonavert::cloud::HttpLimits;
using sonavert::cloud::RequestScanner;
using Phase = RequestScanner::Phase;
using Verdict = RequestScanner::Verdict;

Q_DECLARE_METATYPE(Phase)
Q_DECLARE_METATYPE(Verdict)

namespace {

HttpLimits smallLimits() {
    HttpLimits limits;
    limits.maxHeaderBytes = 200;
    limits.maxHeaderFields = 3;
    limits.maxBodyBytes = 10;
    return limits;
}

QByteArray fields(int count) {
    QByteArray header = "POST /x HTTP/1.1\r\n";
    for (int i = 0; i < count; ++i)
        header += "F" + QByteArray::number(i) + ": v\r\n";
    return header;
}

} // namespace

class RequestScannerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void framesRequests_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<int>("completed");
        QTest::addColumn<Phase>("phase");
        QTest::newRow("no body") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r\n") << Verdict::Fine
                                 << 1 << Phase::Idle;
        QTest::newRow("sized body, two requests kept alive")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd"
                          "POST / HTTP/1.1\r\ncontent-length:2\r\n\r\nx")
            << Verdict::Fine << 1 << Phase::Body;
        QTest::newRow("bare line feeds")
            << QByteArray("GET / HTTP/1.1\nA: b\n\n") << Verdict::Fine << 1 << Phase::Idle;
        QTest::newRow("chunked with extension and trailer")
            << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nT: v\r\n\r\n")
            << Verdict::Fine << 1 << Phase::Idle;
        QTest::newRow("header cut short")
            << QByteArray("GET / HTTP/1.1\r\nHost") << Verdict::Fine << 0 << Phase::Header;
        QTest::newRow("websocket upgrade ends the HTTP part")
            << QByteArray("GET /push HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                          "\r\n\x81\x85garbage-that-is-a-frame")
            << Verdict::Fine << 0 << Phase::Upgraded;
        QTest::newRow("upgrade to something else is a plain request")
            << QByteArray("GET /push HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n")
            << Verdict::Fine << 1 << Phase::Idle;
        QTest::newRow("too many fields")
            << fields(4) << Verdict::HeaderTooLarge << 0 << Phase::Header;
        QTest::newRow("as many fields as allowed") << fields(3) + "\r\n"
                                                   << Verdict::Fine << 1 << Phase::Idle;
        QTest::newRow("header too long, never ended")
            << "GET / HTTP/1.1\r\nX: " + QByteArray(300, 'a') << Verdict::HeaderTooLarge << 0
            << Phase::Header;
        QTest::newRow("announced body too large")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n") << Verdict::BodyTooLarge
            << 0 << Phase::Header;
        QTest::newRow("chunks add up past the limit")
            << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "6\r\nabcdef\r\n5\r\n")
            << Verdict::BodyTooLarge << 0 << Phase::Body;
        QTest::newRow("huge chunk size")
            << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "ffffffffffffffffffff\r\n")
            << Verdict::BodyTooLarge << 0 << Phase::Body;
        QTest::newRow("chunk size not hex")
            << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
            << Verdict::Malformed << 0 << Phase::Body;
    }

    void framesRequests() {
        QFETCH(QByteArray, stream);
        QFETCH(Verdict, verdict);
        QFETCH(int, completed);
        QFETCH(Phase, phase);
        const HttpLimits limits = smallLimits();
        RequestScanner whole(limits);
        QCOMPARE(whole.feed(stream), verdict);
        QCOMPARE(whole.completedRequests(), completed);
        QCOMPARE(whole.phase(), phase);
        // Bytes arrive in any pieces: one at a time must frame the same.
        RequestScanner bytewise(limits);
        Verdict last = Verdict::Fine;
        for (char c : stream) {
            if (last == Verdict::Fine)
                last = bytewise.feed(QByteArrayView(&c, 1));
        }
        QCOMPARE(last, verdict);
        QCOMPARE(bytewise.completedRequests(), completed);
    }
};

SONAVERT_SERVER_TEST_MAIN(RequestScannerTest)
#include "request_scanner_test.moc"
