#include "server/app/option_values.h"

#include <QCommandLineParser>

namespace sonavert::cloud {

OptionValues::OptionValues(QCommandLineParser& parser, const QProcessEnvironment& environment)
    : m_parser(parser)
    , m_environment(environment) {}

QString OptionValues::variableOf(const QCommandLineOption& option) {
    return QStringLiteral("SONAVERT_CLOUD_") +
           option.names().constFirst().toUpper().replace(QLatin1Char('-'), QLatin1Char('_'));
}

void OptionValues::addWithEnvironment(const QList<QCommandLineOption>& options) {
    for (QCommandLineOption option : options) {
        option.setDescription(option.description() +
                              QStringLiteral(" [environment: %1]").arg(variableOf(option)));
        m_fromEnvironment.insert(option.names().constFirst());
        m_parser.addOption(option);
    }
}

std::optional<QString> OptionValues::value(const QCommandLineOption& option) const {
    if (m_parser.isSet(option))
        return m_parser.value(option);
    if (!m_fromEnvironment.contains(option.names().constFirst()))
        return std::nullopt;
    const QString fromEnvironment = m_environment.value(variableOf(option));
    return fromEnvironment.isEmpty() ? std::nullopt : std::optional(fromEnvironment);
}

QStringList OptionValues::values(const QCommandLineOption& option) const {
    if (m_parser.isSet(option))
        return m_parser.values(option);
    const std::optional<QString> fromEnvironment = value(option);
    if (!fromEnvironment)
        return {};
    QStringList listed = fromEnvironment->split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString& each : listed)
        each = each.trimmed();
    return listed;
}

QString OptionValues::sourceOf(const QCommandLineOption& option) const {
    if (!m_parser.isSet(option) && m_fromEnvironment.contains(option.names().constFirst()))
        return variableOf(option);
    return QStringLiteral("--") + option.names().constFirst();
}

} // namespace sonavert::cloud
