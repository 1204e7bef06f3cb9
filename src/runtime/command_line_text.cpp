#include "src/runtime/command_line_text.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <cstdio>

namespace sonavert::command_line {

QString usageError(const QString& program, const QString& problem) {
    return QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, problem);
}

QString helpText(const QCommandLineParser& parser, const QString& program) {
    // Qt writes argv[0] (or a placeholder before an application object exists) after
    // "Usage: "; only the first line carries it.
    static const QRegularExpression usageLine(QStringLiteral("^Usage: \\S+"));
    return parser.helpText().replace(usageLine, QStringLiteral("Usage: ") + program);
}

bool asksForHelp(const QCommandLineParser& parser) {
    return parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
}

QString versionText(const QString& program) {
    return program + QStringLiteral(" " SONAVERT_VERSION "\n");
}

void print(Stream stream, const QString& text) {
    std::FILE* file = stream == Stream::Output ? stdout : stderr;
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file);
    std::fflush(file);
}

void say(const QString& program, const QString& text) {
    print(Stream::Error, program + QStringLiteral(": ") + text + QLatin1Char('\n'));
}

namespace {

Secret readSecretFile(const QString& path) {
    const bool isStandardInput = path == QLatin1String("-");
    QFile file(isStandardInput ? QString() : path);
    const bool isOpen =
        isStandardInput ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    if (!isOpen)
        return {
            std::nullopt, {}, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    // One line: the secret; a trailing line end is the editor's, not the secret's.
    const QString value = QString::fromUtf8(file.readLine()).trimmed();
    if (value.isEmpty())
        return {std::nullopt,
                {},
                QStringLiteral("%1 holds no token")
                    .arg(isStandardInput ? QStringLiteral("standard input") : path)};
    return {value, {}, {}};
}

} // namespace

Secret readSecret(const SecretSources& sources) {
    if (sources.file)
        return readSecretFile(*sources.file);
    if (sources.inlineValue)
        return {sources.inlineValue,
                QStringLiteral("--%1 shows the secret to every user of this computer in the "
                               "process list; use --%1-file FILE (or - for standard input) or %2")
                    .arg(sources.option, sources.environmentVariable),
                {}};
    const QString fromEnvironment = qEnvironmentVariable(sources.environmentVariable.toUtf8());
    if (!fromEnvironment.isEmpty())
        return {fromEnvironment, {}, {}};
    return {};
}

} // namespace sonavert::command_line
