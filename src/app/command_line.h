#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace sonavert {

/// What `sonavert` was asked to do.
struct AppOptions {
    bool isHeadless = false;
    bool isVerbose = false;            ///< a developer line per presence pass
    bool showPrivateLogValues = false; ///< private log values in clear
    std::optional<QString> profileDirectory;
    std::optional<QString> deviceName;                          ///< overrides the machine's name
    QString cloudUrl = QStringLiteral("http://127.0.0.1:8470"); ///< the sonavert-cloud server
    std::optional<QString> cloudToken; ///< from --token-file, --token or SONAVERT_CLOUD_TOKEN
    /// The account key for this run (base64), from --account-key-file or SONAVERT_ACCOUNT_KEY:
    /// used as it is, never stored.
    std::optional<QString> accountKey;
    /// A CA file the cloud server's certificate may come from (a self-signed set-up); checked
    /// to hold a certificate, then remembered in the profile's defaults.
    std::optional<QString> cloudCaFile;
    /// Signing in to a server beyond loopback over plain http:// (refused otherwise).
    bool allowsPlainHttp = false;
    QString warning; ///< to print before starting (a token given inline)
    /// Signed out at start: the server's first account to create and sign in to.
    std::optional<QString> firstAccountName;
    /// The MPRIS player to drive ("mpv", a bus name, empty: any that runs), or "simulated".
    QString playerName;
    QString playerCommand;      ///< started when no player runs and one is needed
    QStringList libraryFolders; ///< empty: the XDG music folder
    /// With the simulated player: the library track it starts playing once the library is read.
    QString simulatedTrack;
    /// The one session-bus name of the control interface, instead of the shared name and the
    /// one made from the device name.
    std::optional<QString> controlBusName;
    /// A `sonavert://pair?...` link the desktop opened: handed to the instance running on the
    /// profile, else kept by this one until the user answers it.
    QString pairingLink;
};

/// Either options to run with, or a text to print and an exit code (help, version, errors).
struct ParsedCommandLine {
    std::optional<AppOptions> options;
    QString message;
    int exitCode = 0;
};

ParsedCommandLine parseCommandLine(const QStringList& arguments);

/// Whether a GUI application object can be created here: a display server, or a platform
/// plugin that needs none (offscreen).
bool hasDisplay();

} // namespace sonavert
