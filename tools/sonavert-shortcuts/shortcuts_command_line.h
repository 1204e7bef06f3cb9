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
    bool asksInWindow = false;      ///< --ask-in-window: a dialog, not the terminal
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

/// Whether `import` asks in a window: decided before the application object is made, which
/// must then be a GUI one.
bool asksInWindow(const QStringList& arguments);

/// Reads the arguments after the program name.
ToolCommand parseToolCommand(const QStringList& arguments);

QString usageText();

} // namespace sonavert::shortcuts
