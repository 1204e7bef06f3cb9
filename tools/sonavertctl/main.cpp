#include "src/runtime/command_line_text.h"
#include "tools/sonavertctl/ctl_command_line.h"
#include "tools/sonavertctl/sonavertctl.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    using namespace sonavert::ctl;
    namespace command_line = sonavert::command_line;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ParsedCtlCommandLine parsed = parseCtlCommandLine(arguments);
    if (!parsed.options) {
        // A script that asked for JSON reads its usage errors as JSON too.
        const bool isJsonError =
            parsed.exitCode != 0 && arguments.contains(QStringLiteral("--json"));
        const QString text =
            isJsonError ? errorJson(parsed.problem, parsed.exitCode) : parsed.message;
        command_line::print(parsed.exitCode == 0 || isJsonError ? command_line::Stream::Output
                                                                : command_line::Stream::Error,
                            text);
        return parsed.exitCode;
    }
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavertctl"));
    const CtlOptions options = *parsed.options;
    // Run from inside the event loop: a command that ends at once must be able to end it.
    QMetaObject::invokeMethod(
        &application,
        [&application, options] {
            QCoro::connect(runCommand(options), &application,
                           [](int exitCode) { QCoreApplication::exit(exitCode); });
        },
        Qt::QueuedConnection);
    return QCoreApplication::exec();
}
