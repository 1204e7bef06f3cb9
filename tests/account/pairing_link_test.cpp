#include "src/account/pairing_link.h"

#include <QTest>

namespace sonavert {

class PairingLinkTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Whatever the server address holds (a path, a query, a port), the link brings it back
    // unchanged with the code, also after the desktop hands the link over as text.
    void roundTripsThroughText_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("code");
        QTest::newRow("plain") << "http://192.168.1.20:8470"
                               << "KQ7-4FD-92X";
        QTest::newRow("https with path and query")
            << "https://cloud.example.org/sonavert/?a=1&b=x%20y"
            << "KQ7-4FD-92X";
        QTest::newRow("ipv6") << "http://[fe80::1]:8470"
                              << "KQ74FD92X";
    }
    void roundTripsThroughText() {
        QFETCH(QString, server);
        QFETCH(QString, code);
        const QUrl link = makePairingLink(QUrl(server), code);
        QCOMPARE(link.scheme(), QStringLiteral("sonavert"));
        const auto parsed = parsePairingLink(QUrl(link.toString(QUrl::FullyEncoded)));
        QVERIFY(parsed);
        QCOMPARE(parsed->server, QUrl(server));
        QCOMPARE(parsed->code, code);
    }

    void readsCodesAsTyped() {
        const auto parsed = parsePairingLink(
            QUrl(QStringLiteral("sonavert://pair?server=http%3A%2F%2Fhost%3A8470&code=kq7%204fd")));
        QVERIFY(parsed);
        QCOMPARE(parsed->code, QStringLiteral("KQ7 4FD"));
    }

    // A link comes from anywhere: only a pair link naming an http(s) server and a code is taken.
    void refusesWhatIsNotAPairingLink_data() {
        QTest::addColumn<QString>("link");
        QTest::newRow("other scheme") << "https://pair?server=http%3A%2F%2Fh&code=ABC";
        QTest::newRow("other action") << "sonavert://open?server=http%3A%2F%2Fh&code=ABC";
        QTest::newRow("no code") << "sonavert://pair?server=http%3A%2F%2Fh";
        QTest::newRow("empty code") << "sonavert://pair?server=http%3A%2F%2Fh&code=";
        QTest::newRow("only dashes") << "sonavert://pair?server=http%3A%2F%2Fh&code=---";
        QTest::newRow("code with markup") << "sonavert://pair?server=http%3A%2F%2Fh&code=%3Cb%3E";
        QTest::newRow("endless code")
            << "sonavert://pair?server=http%3A%2F%2Fh&code=" + QString(200, u'A');
        QTest::newRow("no server") << "sonavert://pair?code=ABC";
        QTest::newRow("file server") << "sonavert://pair?server=file%3A%2F%2F%2Fetc&code=ABC";
        QTest::newRow("server without host") << "sonavert://pair?server=http%3A&code=ABC";
        QTest::newRow("credentials in server")
            << "sonavert://pair?server=http%3A%2F%2Fu%3Ap%40h&code=ABC";
    }
    void refusesWhatIsNotAPairingLink() {
        QFETCH(QString, link);
        QVERIFY(!parsePairingLink(QUrl(link)));
    }

    // The check commits to both the code and the key: any one symbol mistyped, or another
    // key, gives another check; the code as shown splits back into what was made.
    void aTypedCodesCheckCommitsToCodeAndKey() {
        const QString code = QStringLiteral("KQ74FD92X");
        const QByteArray key(32, '\x5a');
        const QString check = pairing_code::checkFor(code, key);
        QCOMPARE(check.size(), pairing_code::kCheckLength);
        for (const QChar symbol : check)
            QVERIFY(pairing_code::kSymbols.contains(symbol));
        const QString shown = pairing_code::shown(code, key);
        QCOMPARE(shown, QStringLiteral("KQ7-4FD-92X-") + check);
        const auto parts = pairing_code::split(shown.toLower());
        QVERIFY(parts);
        QCOMPARE(parts->code, code);
        QCOMPARE(parts->check, check);
        QCOMPARE(pairing_code::shown(code, {}), QStringLiteral("KQ7-4FD-92X"));
        QVERIFY(pairing_code::split(QStringLiteral("KQ7-4FD-92X"))->check.isEmpty());
        QVERIFY(!pairing_code::split(QStringLiteral("KQ7-4FD-92X-M3")));

        for (qsizetype position = 0; position < code.size(); ++position) {
            QString mistyped = code;
            mistyped[position] = mistyped[position] == u'Z' ? u'Y' : u'Z';
            QVERIFY2(pairing_code::checkFor(mistyped, key) != check, qPrintable(mistyped));
        }
        QByteArray otherKey = key;
        otherKey[31] = '\x5b';
        QVERIFY(pairing_code::checkFor(code, otherKey) != check);
    }
};

} // namespace sonavert

QTEST_APPLESS_MAIN(sonavert::PairingLinkTest)
#include "pairing_link_test.moc"
