#include "tools/sonavert-shortcuts/tool_commands.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavert-shortcuts"));
    return sonavert::shortcuts::runTool(QCoreApplication::arguments().mid(1));
}
