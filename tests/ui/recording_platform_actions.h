#pragma once

#include "src/ui/platform_actions.h"

#include <QList>
#include <QStringList>

namespace sonavert::test {

/// Records what the window asks of the desktop.
class RecordingPlatformActions final : public PlatformActions {
public:
    struct SupportMail {
        QString address, subject, body;
        QImage snapshot;
    };

    QList<QUrl> openedUrls;
    QList<SupportMail> supportMails;
    int reviewRequests = 0;
    int updateChecks = 0;
    int quits = 0;
    QStringList copied;
    QString osVersion = QStringLiteral("Debian GNU/Linux 12 (bookworm)");
    QString model = QStringLiteral("ThinkPad X1 Carbon");

    void openUrl(const QUrl& url) override { openedUrls << url; }
    void composeSupportMail(const QString& address, const QString& subject, const QString& body,
                            const QImage& snapshot) override {
        supportMails << SupportMail{address, subject, body, snapshot};
    }
    void requestReview() override { ++reviewRequests; }
    void checkForUpdates() override { ++updateChecks; }
    void quit() override { ++quits; }
    void copyToClipboard(const QString& text) override { copied << text; }
    QString operatingSystemVersion() const override { return osVersion; }
    QString hardwareModel() const override { return model; }
};

} // namespace sonavert::test
