#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

namespace sonavert::shortcuts {

struct ListCommand {};
struct RunCommand {
    QString name;
    QString input;
};
struct ImportCommand {
    QString file;
    bool isApprovedAlready = false; ///< --yes: add without asking
};
struct PlaySongCommand {
    QString songId;
    QString playerName;                      ///< empty: the MPRIS player found first
    std::optional<QString> profileDirectory; ///< as `sonavert --profile`
    QStringList musicFolders;                ///< empty: the XDG music folder
};
struct HelpCommand {};
struct VersionCommand {};
struct UsageError {
    QString message;
};

using ToolCommand = std::variant<ListCommand, RunCommand, ImportCommand, PlaySongCommand,
                                 HelpCommand, VersionCommand, UsageError>;

/// Reads the arguments after the program name.
ToolCommand parseToolCommand(const QStringList& arguments);

QString usageText();

} // namespace sonavert::shortcuts
