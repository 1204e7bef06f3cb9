#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

namespace sonavert {

/// A Sonavert cloud server that announces itself on the local network.
struct FoundCloudServer {
    QString name; ///< the announced name, shown to the user
    QUrl url;     ///< where a device reaches it

    friend bool operator==(const FoundCloudServer&, const FoundCloudServer&) = default;
};

/// Lists the cloud servers on the local network while it runs, so that at home the user only
/// types the code. The list changes as servers come and go; an empty list is normal.
class CloudServerBrowser : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual QList<FoundCloudServer> servers() const = 0;

Q_SIGNALS:
    void serversChanged();
};

} // namespace sonavert
