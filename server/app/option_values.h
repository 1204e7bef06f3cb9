#pragma once

#include <QCommandLineOption>
#include <QProcessEnvironment>
#include <QSet>
#include <optional>

class QCommandLineParser;

namespace sonavert::cloud {

/// The value of each option as the server takes it: from the command line, else, for the
/// options that may also be set there (every `serve` option, for containers), from the
/// environment variable SONAVERT_CLOUD_<OPTION> (`--max-body-bytes`:
/// SONAVERT_CLOUD_MAX_BODY_BYTES). An empty variable counts as unset.
class OptionValues {
public:
    OptionValues(QCommandLineParser& parser, const QProcessEnvironment& environment);

    /// Adds options that may also come from the environment, each with its variable named in
    /// its help. Before parsing.
    void addWithEnvironment(const QList<QCommandLineOption>& options);
    /// After parsing: the command line's value, else the environment's, else nothing.
    std::optional<QString> value(const QCommandLineOption& option) const;
    /// A repeatable option: every value on the command line, else the variable's
    /// comma-separated list.
    QStringList values(const QCommandLineOption& option) const;
    /// Where the value came from, as an error about it names it: "--listen" or
    /// "SONAVERT_CLOUD_LISTEN".
    QString sourceOf(const QCommandLineOption& option) const;

    static QString variableOf(const QCommandLineOption& option);

private:
    QCommandLineParser& m_parser;
    QProcessEnvironment m_environment;
    QSet<QString> m_fromEnvironment;
};

} // namespace sonavert::cloud
