#pragma once

#include <QString>
#include <optional>

class QCommandLineParser;

/// What the four programs' command lines have in common: how a usage error reads, how help
/// names the program, how the version reads, and how a secret reaches a program without
/// showing in the process list.
namespace sonavert::command_line {

/// The exit code of a command line the program cannot follow.
constexpr int kExitUsage = 2;

/// "PROGRAM: PROBLEM" and a pointer to the help, one line each.
QString usageError(const QString& program, const QString& problem);

/// The parser's help with the program's bare name where Qt puts the path it was started by
/// (a build tree path would mean nothing to the reader).
QString helpText(const QCommandLineParser& parser, const QString& program);

/// Whether --help or --help-all was given: parse(), unlike process(), acts on neither, and a
/// program that misses --help-all would go on to run.
bool asksForHelp(const QCommandLineParser& parser);

/// "PROGRAM VERSION" and a line end.
QString versionText(const QString& program);

enum class Stream { Output, Error };

/// Writes `text` as it stands, in UTF-8, to standard output or standard error, and flushes it:
/// the one place the programs write to a terminal (log lines go through their own channels).
void print(Stream stream, const QString& text);

/// "PROGRAM: TEXT" and a line end, on standard error.
void say(const QString& program, const QString& text);

/// Where a secret may come from. An inline value is there for old scripts only: every local
/// user can read it in the process list.
struct SecretSources {
    QString option; ///< the inline option's name, e.g. "token"
    std::optional<QString> inlineValue;
    std::optional<QString> file; ///< "-" reads standard input
    QString environmentVariable;
};

struct Secret {
    std::optional<QString> value; ///< none given anywhere
    QString warning;              ///< to print, yet carry on
    QString error;                ///< a file that cannot be read, or is empty
};

/// The secret from the file (or standard input), else the inline value, else the environment.
Secret readSecret(const SecretSources& sources);

} // namespace sonavert::command_line
