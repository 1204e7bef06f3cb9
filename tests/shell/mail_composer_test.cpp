// The support mail: xdg-email with the snapshot attached, the mailto: fallback with the same
// subject and body, and encodings a mail client would otherwise split or mangle.

#include "src/shell/mail_composer.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace sonavert;

namespace {

const QString kAddress = QStringLiteral("support@sonavert.io");
const QString kSubject = QStringLiteral("Sonavert Help");
// The diagnostic footer's shape: blank lines first, a dash line, characters that are
// delimiters in a query.
const QString kBody =
    QStringLiteral("\n\n—— Please describe your issue above this line ——\nApp: Sonavert 1.4 (7)"
                   "\nOS: Debian & friends; 12+1 = 13?\nDevice: ThinkPad #5");

struct Recorder {
    bool canLaunch = true;
    QString program;
    QStringList arguments;
    QList<QUrl> links;

    MailComposer composer(const QString& folder) {
        return MailComposer(
            [this](const QString& launched, const QStringList& with) {
                program = launched;
                arguments = with;
                return canLaunch;
            },
            [this](const QUrl& link) { links << link; }, folder);
    }
};

QImage snapshot() {
    QImage image(36, 52, QImage::Format_ARGB32);
    image.fill(QColor(168, 42, 153));
    return image;
}

} // namespace

class MailComposerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void mailClientGetsTheSnapshotAsAnAttachment() {
        QTemporaryDir folder;
        Recorder recorder;
        recorder.composer(folder.path()).compose(kAddress, kSubject, kBody, snapshot());
        QCOMPARE(recorder.program, QStringLiteral("xdg-email"));
        const int attach = static_cast<int>(recorder.arguments.indexOf(QStringLiteral("--attach")));
        QVERIFY(attach >= 0);
        const QImage attached(recorder.arguments.value(attach + 1));
        QCOMPARE(attached.size(), QSize(36, 52));
        QCOMPARE(attached.pixelColor(3, 3), QColor(168, 42, 153));
        QCOMPARE(recorder.arguments.value(recorder.arguments.indexOf("--subject") + 1), kSubject);
        QCOMPARE(recorder.arguments.value(recorder.arguments.indexOf("--body") + 1), kBody);
        QCOMPARE(recorder.arguments.last(), kAddress);
        QVERIFY(recorder.links.isEmpty());
    }

    void withoutASnapshotNothingIsAttached() {
        QTemporaryDir folder;
        Recorder recorder;
        recorder.composer(folder.path()).compose(kAddress, kSubject, kBody, QImage());
        QVERIFY(!recorder.arguments.contains(QStringLiteral("--attach")));
        QCOMPARE(recorder.arguments.last(), kAddress);
    }

    void withoutXdgEmailTheMailLinkCarriesTheSameSubjectAndBody() {
        QTemporaryDir folder;
        Recorder recorder;
        recorder.canLaunch = false;
        recorder.composer(folder.path()).compose(kAddress, kSubject, kBody, snapshot());
        QCOMPARE(recorder.links.size(), 1);
        const QUrl link = recorder.links.first();
        QCOMPARE(link.scheme(), QStringLiteral("mailto"));
        QCOMPARE(link.path(), kAddress);
        const QUrlQuery query(link);
        QCOMPARE(query.queryItems(QUrl::FullyDecoded).size(), 2);
        QCOMPARE(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded), kSubject);
        QCOMPARE(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded), kBody);
        // Delimiters of the body never show up raw in the link.
        const QByteArray encoded = link.toEncoded();
        QCOMPARE(encoded.count('&'), 1);
        QVERIFY(!encoded.contains('+') && !encoded.contains('#') && !encoded.contains(' '));
    }
};

QTEST_GUILESS_MAIN(MailComposerTest)
#include "mail_composer_test.moc"
