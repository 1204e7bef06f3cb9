// Sharing the account key with a new device: only the device whose public key it was sealed
// to opens it, and both screens show the same code exactly when both saw the same two keys.

#include "src/crypto/confirmation_code.h"
#include "src/crypto/device_key_pair.h"
#include "src/crypto/payload_cipher.h"

#include <QRegularExpression>
#include <QTest>

using namespace sonavert;
using namespace sonavert::crypto;
using namespace Qt::StringLiterals;

class KeySharingTest : public QObject {
    Q_OBJECT

    DeviceKeyPair m_inviting = DeviceKeyPair::generate().value();
    DeviceKeyPair m_joining = DeviceKeyPair::generate().value();
    DeviceKeyPair m_intruder = DeviceKeyPair::generate().value();
    AccountKey m_accountKey = AccountKey::generate().value();

private Q_SLOTS:
    void sealedKeyOpensOnlyWithTheRecipientsSecret() {
        const QByteArray sealed = sealAccountKey(m_accountKey, m_joining.publicKey()).value();
        QVERIFY(!sealed.contains(QByteArray::fromBase64(m_accountKey.toBase64().toLatin1())));
        const AccountKey received = m_joining.openAccountKey(sealed).value();
        QCOMPARE(received.keyId(), m_accountKey.keyId());
        const QString payload = PayloadCipher::seal(m_accountKey, u"r"_s, u"f"_s, u"x"_s).value();
        QCOMPARE(PayloadCipher::open(KeyRing(received), u"r"_s, u"f"_s, payload).value(), u"x"_s);

        QCOMPARE(m_intruder.openAccountKey(sealed).error().code, int(CryptoErrorCode::Refused));
        for (qsizetype i = 0; i < sealed.size(); ++i) {
            QByteArray tampered = sealed;
            tampered[i] = char(tampered[i] ^ 0x80);
            QVERIFY2(!m_joining.openAccountKey(tampered), qPrintable(u"byte %1"_s.arg(i)));
        }
        for (qsizetype length = 0; length < sealed.size(); ++length)
            QVERIFY(!m_joining.openAccountKey(sealed.left(length)));
        QVERIFY(!sealAccountKey(m_accountKey, m_joining.publicKey().left(31)));
    }

    void codesAgreeExactlyWhenBothSawTheSameKeys() {
        const QByteArray a = m_inviting.publicKey();
        const QByteArray b = m_joining.publicKey();
        const QByteArray m = m_intruder.publicKey();
        const QString code = confirmationCode(a, b);
        QVERIFY(QRegularExpression(u"^[0-9]{6}$"_s).match(code).hasMatch());
        QCOMPARE(confirmationCode(b, a), code);
        // A server in the middle gives each side its own key in place of the other's.
        QVERIFY(confirmationCode(a, m) != code);
        QVERIFY(confirmationCode(m, b) != code);
        QVERIFY(confirmationCode(a, m) != confirmationCode(m, b));
        // The boundary between the keys is part of the hash.
        QVERIFY(confirmationCode(a + b.left(1), b.mid(1)) != code);
    }

    void aDeviceKeyTagHoldsOnlyForItsKeyDeviceAndPublicKey() {
        const QByteArray key = m_joining.publicKey();
        const QByteArray tag = deviceKeyTag(m_accountKey, u"desk"_s, key);
        QVERIFY(isDeviceKeyTag(m_accountKey, u"desk"_s, key, tag));
        const AccountKey other = AccountKey::generate().value();
        QVERIFY(!isDeviceKeyTag(other, u"desk"_s, key, tag));
        QVERIFY(!isDeviceKeyTag(m_accountKey, u"laptop"_s, key, tag));
        QVERIFY(!isDeviceKeyTag(m_accountKey, u"desk"_s, m_intruder.publicKey(), tag));
        for (qsizetype i = 0; i < tag.size(); ++i) {
            QByteArray tampered = tag;
            tampered[i] = char(tampered[i] ^ 0x01);
            QVERIFY2(!isDeviceKeyTag(m_accountKey, u"desk"_s, key, tampered),
                     qPrintable(u"byte %1"_s.arg(i)));
        }
        // A short or long tag is refused before anything is compared, never read past its end.
        QVERIFY(!isDeviceKeyTag(m_accountKey, u"desk"_s, key, {}));
        QVERIFY(!isDeviceKeyTag(m_accountKey, u"desk"_s, key, tag.left(16)));
        QVERIFY(!isDeviceKeyTag(m_accountKey, u"desk"_s, key, tag + '\0'));
    }
};

QTEST_GUILESS_MAIN(KeySharingTest)
#include "key_sharing_test.moc"
