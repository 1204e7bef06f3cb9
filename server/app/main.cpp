#include "server/app/cloud_command_line.h"
#include "server/http/epoll_event_dispatcher.h"
#include "src/runtime/clock.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    // Before the application object, which otherwise makes Qt's own dispatcher.
    sonavert::cloud::installServerEventDispatcher();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavert-cloud"));
    sonavert::SystemClock clock;
    return sonavert::cloud::runCommandLine(QCoreApplication::arguments(), clock);
}
