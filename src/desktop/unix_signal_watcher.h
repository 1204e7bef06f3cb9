#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace sonavert {

/// Turns SIGINT and SIGTERM into a Qt signal delivered on the event loop (the handler itself
/// only writes a byte to a pipe, which is all a signal handler may safely do).
/// One instance per process.
class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void readPending();
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace sonavert
