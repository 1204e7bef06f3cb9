#include "server/app/cloud_command_line.h"
#include "src/runtime/clock.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavert-cloud"));
    sonavert::SystemClock clock;
    return sonavert::cloud::runCommandLine(QCoreApplication::arguments(), clock);
}
