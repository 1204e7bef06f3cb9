#pragma once

#include <QAbstractHttpServer>

namespace sonavert::cloud {

class CallDispatcher;
class PushHub;

/// Routes only: POST /database/1/{container}/{environment}/private/{operation} to the
/// dispatcher, which runs it off the event loop and answers later; GET /push upgrades to the
/// push channel. Answers are JSON; errors go through errorToJson.
class HttpFrontend : public QAbstractHttpServer {
    Q_OBJECT
public:
    /// Request bodies above this size are refused with LIMIT_EXCEEDED.
    static constexpr qsizetype kMaxBodyBytes = qsizetype{2} * 1024 * 1024;

    HttpFrontend(CallDispatcher& calls, PushHub& hub, QObject* parent = nullptr);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    void serveDatabaseCall(const QHttpServerRequest& request, const QStringList& path,
                           QTcpSocket* socket);
    void adoptWebSockets();

    CallDispatcher& m_calls;
    PushHub& m_hub;
};

} // namespace sonavert::cloud
