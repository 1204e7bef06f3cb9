// The payload cipher refuses everything but the value it sealed, for this record and field,
// under a key the ring holds; and refuses it as a value, whatever the input.

#include "src/crypto/payload_cipher.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>
#include <sodium.h>

using namespace sonavert;
using namespace sonavert::crypto;
using namespace Qt::StringLiterals;

namespace {

const QString kRecord = u"handoff_2F1C"_s;
const QString kField = u"payload"_s;
const QString kState =
    uR"({"songID":"1440857781","songTitle":"Blue in Green","artistName":"Miles Davis"})"_s;

AccountKey newKey() {
    return AccountKey::generate().value();
}

QString withBody(const QString& sealed, const QByteArray& body) {
    return sealed.left(sealed.lastIndexOf(u':') + 1) + QString::fromLatin1(body.toBase64());
}

QByteArray bodyOf(const QString& sealed) {
    return QByteArray::fromBase64(sealed.mid(sealed.lastIndexOf(u':') + 1).toLatin1());
}

/// A value as an earlier version sealed it: "sv1", the clear text unpadded, the same
/// associated data (each part length-prefixed).
QString sealedUnpadded(const AccountKey& key, const QString& record, const QString& field,
                       const QString& text) {
    QByteArray ad;
    for (const QString& part : {u"sv1"_s, key.keyId(), record, field}) {
        const QByteArray bytes = part.toUtf8();
        const quint32 length = qToBigEndian(quint32(bytes.size()));
        ad.append(reinterpret_cast<const char*>(&length), sizeof length);
        ad.append(bytes);
    }
    const QByteArray message = text.toUtf8();
    QByteArray body(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES + message.size() +
                        crypto_aead_xchacha20poly1305_ietf_ABYTES,
                    Qt::Uninitialized);
    auto* nonce = reinterpret_cast<unsigned char*>(body.data());
    randombytes_buf(nonce, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, nullptr,
        reinterpret_cast<const unsigned char*>(message.data()), message.size(),
        reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nullptr, nonce, key.data());
    return u"sv1:"_s + key.keyId() + u':' + QString::fromLatin1(body.toBase64());
}

} // namespace

class PayloadCipherTest : public QObject {
    Q_OBJECT

    AccountKey m_key = newKey();
    AccountKey m_otherKey = newKey();
    KeyRing m_ring{m_key};

    QString sealed(const QString& value = kState) {
        return PayloadCipher::seal(m_key, kRecord, kField, value).value();
    }

private Q_SLOTS:
    void sealedValueOpensToTheSameText_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("playback state") << kState;
        QTest::newRow("empty") << QString();
        QTest::newRow("non-latin") << u"Björk – Jóga · 久石譲"_s;
        QTest::newRow("long") << QString(20000, u'x');
    }
    void sealedValueOpensToTheSameText() {
        QFETCH(QString, value);
        const QString wire = sealed(value);
        QVERIFY(PayloadCipher::isSealed(wire));
        QVERIFY(wire.startsWith(u"sv2:"_s + m_key.keyId() + u':'));
        QVERIFY(value.isEmpty() || !wire.contains(value));
        const Result<QString> opened = PayloadCipher::open(m_ring, kRecord, kField, wire);
        QVERIFY(opened);
        QCOMPARE(opened.value(), value);
    }

    void twoSealsOfOneValueDiffer() { QVERIFY(sealed() != sealed()); }

    // The length of a sealed value says only how many kilobytes the clear text takes: a song
    // of 3 and one of 60 characters, and nothing at all, look alike.
    void lengthsSayOnlyTheBucket() {
        const auto nowPlaying = [](const QString& title) {
            return uR"({"songID":"1440857781","songTitle":"%1","artistName":"Miles Davis",)"
                   uR"("albumTitle":"Kind of Blue","playbackTime":95.2,"isPlaying":true})"_s.arg(
                       title);
        };
        QCOMPARE(sealed(nowPlaying(u"Joy"_s)).size(), sealed(nowPlaying(QString(60, u'x'))).size());
        QCOMPARE(sealed(nowPlaying(u"Joy"_s)).size(), sealed(QString()).size());
        QCOMPARE(sealed(QString()).size(), sealed(QString(1023, u'a')).size());
        QVERIFY(sealed(QString(1023, u'a')).size() < sealed(QString(1024, u'a')).size());
        QCOMPARE(sealed(QString(1024, u'a')).size(), sealed(QString(2047, u'a')).size());
        QCOMPARE(bodyOf(sealed(QString(2047, u'a'))).size(),
                 crypto_aead_xchacha20poly1305_ietf_NPUBBYTES + 2048 +
                     crypto_aead_xchacha20poly1305_ietf_ABYTES);
    }

    // Values earlier versions sealed, unpadded, open as they are.
    void anUnpaddedValueOfAnEarlierVersionOpens() {
        const QString earlier = sealedUnpadded(m_key, kRecord, kField, kState);
        QCOMPARE(PayloadCipher::open(m_ring, kRecord, kField, earlier).value(), kState);
        QVERIFY(!PayloadCipher::open(m_ring, kRecord, u"nowPlaying"_s, earlier));
    }

    void keyKeptAsBase64SealsAndOpensAlike() {
        const AccountKey restored = AccountKey::fromBase64(m_key.toBase64()).value();
        QCOMPARE(restored.keyId(), m_key.keyId());
        QVERIFY(m_key.keyId() != m_otherKey.keyId());
        QCOMPARE(PayloadCipher::open(KeyRing(restored), kRecord, kField, sealed()).value(), kState);
        QVERIFY(!AccountKey::fromBase64(u"c2hvcnQ="_s));
        QVERIFY(!AccountKey::fromBase64(u"not base64!"_s));
    }

    void openRefuses_data() {
        QTest::addColumn<QString>("wire");
        QTest::addColumn<bool>("ringHoldsBoth");
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("code");
        const QString good = sealed();
        const QString otherKeys = PayloadCipher::seal(m_otherKey, kRecord, kField, kState).value();
        const auto code = [](CryptoErrorCode c) { return int(c); };
        QTest::newRow("key the ring lacks")
            << otherKeys << false << kRecord << kField << code(CryptoErrorCode::UnknownKey);
        QTest::newRow("relabelled with another held key")
            << QString(good).replace(m_key.keyId(), m_otherKey.keyId()) << true << kRecord << kField
            << code(CryptoErrorCode::Refused);
        QTest::newRow("moved to another record")
            << good << false << u"handoff_9A0B"_s << kField << code(CryptoErrorCode::Refused);
        QTest::newRow("moved to another field")
            << good << false << kRecord << u"nowPlaying"_s << code(CryptoErrorCode::Refused);
        QTest::newRow("newer version") << QString(good).replace(0, 3, u"sv9"_s) << false << kRecord
                                       << kField << code(CryptoErrorCode::UnknownVersion);
        // The version is bound in: a padded value relabelled as unpadded does not open.
        QTest::newRow("relabelled as the unpadded version")
            << QString(good).replace(0, 3, u"sv1"_s) << false << kRecord << kField
            << code(CryptoErrorCode::Refused);
        QTest::newRow("clear text")
            << kState << false << kRecord << kField << code(CryptoErrorCode::Malformed);
        QTest::newRow("body not base64") << withBody(good, {}) + u"@@"_s << false << kRecord
                                         << kField << code(CryptoErrorCode::Malformed);
        QTest::newRow("extra colon")
            << good + u":x"_s << false << kRecord << kField << code(CryptoErrorCode::Malformed);
        // A body has one spelling: the decoder would also take these, which read the same bytes.
        const qsizetype pad = good.indexOf(u'=');
        QVERIFY(pad > 0); // the padded body is never a multiple of three bytes
        QTest::newRow("body without its padding")
            << good.left(pad) << false << kRecord << kField << code(CryptoErrorCode::Malformed);
        const QString alphabet =
            u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"_s;
        QString strayBits = good;
        strayBits[pad - 1] = alphabet[alphabet.indexOf(good[pad - 1]) | 1];
        QVERIFY(strayBits != good);
        QTest::newRow("stray low bits in the last character")
            << strayBits << false << kRecord << kField << code(CryptoErrorCode::Malformed);
        QString urlAlphabet = good;
        urlAlphabet.replace(u'+', u'-').replace(u'/', u'_');
        QVERIFY(urlAlphabet != good);
        QTest::newRow("body in the URL alphabet")
            << urlAlphabet << false << kRecord << kField << code(CryptoErrorCode::Malformed);
    }
    void openRefuses() {
        QFETCH(QString, wire);
        QFETCH(bool, ringHoldsBoth);
        QFETCH(QString, record);
        QFETCH(QString, field);
        QFETCH(int, code);
        const KeyRing ring = ringHoldsBoth ? KeyRing(m_key, {m_otherKey}) : m_ring;
        const Result<QString> opened = PayloadCipher::open(ring, record, field, wire);
        QVERIFY(!opened);
        QCOMPARE(opened.error().code, code);
    }

    // A command's value opens only with the clear values it was bound to, only as a bound
    // value, and only under the current key: a copy the server renumbers or redates, a
    // presence's value passed off as a command's, and a command under a key since replaced
    // all stay shut; nor does a command's value open as a presence's.
    void boundValueOpensOnlyAsItWasSealed() {
        const QStringList bound{u"messageID=sMSG-1"_s, u"timestamp=t1767225600000"_s};
        const QString wire =
            PayloadCipher::sealBound(m_key, kRecord, kField, kState, bound).value();
        QVERIFY(wire.startsWith(u"sv3:"_s + m_key.keyId() + u':'));
        QCOMPARE(PayloadCipher::openBound(m_ring, kRecord, kField, wire, bound).value(), kState);
        const auto refusal = [&](const KeyRing& ring, const QString& value,
                                 const QStringList& with) {
            const Result<QString> opened =
                PayloadCipher::openBound(ring, kRecord, kField, value, with);
            return opened ? 0 : opened.error().code;
        };
        const int refused = int(CryptoErrorCode::Refused);
        QCOMPARE(refusal(m_ring, wire, {u"messageID=sMSG-2"_s, bound[1]}), refused);
        QCOMPARE(refusal(m_ring, wire, {bound[0], u"timestamp=t1767225660000"_s}), refused);
        QCOMPARE(refusal(m_ring, wire, {bound[0]}), refused);
        QCOMPARE(refusal(m_ring, wire, {}), refused);
        QCOMPARE(refusal(m_ring, sealed(), bound), refused);
        QCOMPARE(refusal(KeyRing(m_otherKey, {m_key}), wire, bound),
                 int(CryptoErrorCode::RetiredKey));
        QCOMPARE(refusal(KeyRing(m_otherKey), wire, bound), int(CryptoErrorCode::UnknownKey));
        QCOMPARE(PayloadCipher::open(m_ring, kRecord, kField, wire).error().code, refused);
        // Each bound value is length-prefixed: moving a boundary between two is a change too.
        const QString split =
            PayloadCipher::sealBound(m_key, kRecord, kField, kState, {u"ab"_s, u"c"_s}).value();
        QCOMPARE(refusal(m_ring, split, {u"a"_s, u"bc"_s}), refused);
    }

    // A chunk of a song passing through the server opens to its bytes (zeros included) only
    // at its place in its relay, under any key of the ring; its length says the bucket only.
    void aChunkOpensOnlyAtItsPlaceInItsRelay() {
        QByteArray bytes(5000, '\0');
        bytes[17] = '\x80';
        const QString wire =
            PayloadCipher::sealBytes(m_key, u"relay"_s, u"r1"_s, bytes, {u"3"_s}).value();
        QVERIFY(wire.startsWith(u"sv4:"_s));
        QCOMPARE(PayloadCipher::openBytes(m_ring, u"relay"_s, u"r1"_s, wire, {u"3"_s}).value(),
                 bytes);
        QCOMPARE(PayloadCipher::openBytes(KeyRing(m_otherKey, {m_key}), u"relay"_s, u"r1"_s, wire,
                                          {u"3"_s})
                     .value(),
                 bytes);
        const auto refused = [&](const QString& relay, const QString& seq, const QString& value) {
            const Result<QByteArray> opened =
                PayloadCipher::openBytes(m_ring, u"relay"_s, relay, value, {seq});
            return !opened && opened.error().code == int(CryptoErrorCode::Refused);
        };
        QVERIFY(refused(u"r1"_s, u"4"_s, wire));
        QVERIFY(refused(u"r2"_s, u"3"_s, wire));
        QVERIFY(refused(
            u"r1"_s, u"3"_s,
            PayloadCipher::sealBound(m_key, u"relay"_s, u"r1"_s, u"x"_s, {u"3"_s}).value()));
        QCOMPARE(PayloadCipher::open(m_ring, u"relay"_s, u"r1"_s, wire).error().code,
                 int(CryptoErrorCode::Refused));
        const QString other =
            PayloadCipher::sealBytes(m_key, u"relay"_s, u"r1"_s, bytes.left(4500), {u"3"_s})
                .value();
        QCOMPARE(other.size(), wire.size());
    }

    void everyChangedByteIsRefused() {
        const QString wire = sealed();
        const QByteArray body = bodyOf(wire);
        for (qsizetype i = 0; i < body.size(); ++i) {
            QByteArray tampered = body;
            tampered[i] = char(tampered[i] ^ 0x01);
            QVERIFY2(!PayloadCipher::open(m_ring, kRecord, kField, withBody(wire, tampered)),
                     qPrintable(u"byte %1"_s.arg(i)));
        }
        for (qsizetype i = 0; i < wire.size(); ++i) {
            QString tampered = wire;
            tampered[i] = tampered[i] == u'A' ? u'B' : u'A';
            QVERIFY2(!PayloadCipher::open(m_ring, kRecord, kField, tampered),
                     qPrintable(u"character %1"_s.arg(i)));
        }
    }

    void everyTruncationIsRefused() {
        const QString wire = sealed();
        const QByteArray body = bodyOf(wire);
        for (qsizetype length = 0; length < wire.size(); ++length)
            QVERIFY2(!PayloadCipher::open(m_ring, kRecord, kField, wire.left(length)),
                     qPrintable(u"text cut at %1"_s.arg(length)));
        for (qsizetype length = 0; length < body.size(); ++length)
            QVERIFY2(
                !PayloadCipher::open(m_ring, kRecord, kField, withBody(wire, body.left(length))),
                qPrintable(u"body cut at %1"_s.arg(length)));
    }

    void randomTextsInTheSealedFormAreRefused() {
        QRandomGenerator random(17);
        const QString prefixes[] = {u"sv2:"_s + m_key.keyId() + u':',
                                    u"sv1:"_s + m_key.keyId() + u':',
                                    u"sv2:"_s,
                                    u"sv"_s,
                                    u"sv2::"_s,
                                    u"sv99999999999999999999:"_s};
        for (int round = 0; round < 4000; ++round) {
            QByteArray bytes(random.bounded(0, 120), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            const QString& prefix = prefixes[round % std::size(prefixes)];
            const QString tail =
                round % 2 == 0 ? QString::fromLatin1(bytes.toBase64()) : QString::fromLatin1(bytes);
            QVERIFY(!PayloadCipher::open(m_ring, kRecord, kField, prefix + tail));
        }
    }
};

QTEST_GUILESS_MAIN(PayloadCipherTest)
#include "payload_cipher_test.moc"
