#pragma once

#include <QObject>

class QSocketNotifier;

namespace sonavert::cloud {

/// Turns SIGTERM and SIGINT into a Qt signal on the event loop (self-pipe), so shutdown runs
/// as ordinary code instead of inside a signal handler.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void terminationRequested();

private:
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace sonavert::cloud
