#include "src/shell/desktop_settings.h"
#include "src/ui/shortcut_import_prompt.h"
#include "tools/sonavert-shortcuts/shortcuts_command_line.h"
#include "tools/sonavert-shortcuts/tool_commands.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <memory>

namespace {

constexpr int kSettingsWaitMs = 1500;

// The desktop opens Shortcut files with "import --ask-in-window": the question is a dialog in
// the desktop's appearance, and the tool needs a GUI application only then.
bool askInWindow(const QString& name, const QString& file) {
    sonavert::DesktopSettings settings(QDBusConnection::sessionBus(),
                                       &sonavert::DesktopSettings::applicationPaletteIsDark);
    // The first answers decide the colours the dialog opens with; a portal that does not
    // answer soon leaves them to the palette, and a later answer still applies.
    bool hasSettled = false;
    QEventLoop settling;
    QObject::connect(&settings, &sonavert::DesktopSettings::settled, &settling, [&] {
        hasSettled = true;
        settling.quit();
    });
    QTimer::singleShot(kSettingsWaitMs, &settling, &QEventLoop::quit);
    settings.start();
    if (!hasSettled)
        settling.exec();
    sonavert::ShortcutImportPrompt prompt(name, file);
    prompt.setDarkAppearance(settings.isDark());
    QObject::connect(&settings, &sonavert::DesktopSettings::isDarkChanged, &prompt,
                     [&] { prompt.setDarkAppearance(settings.isDark()); });
    return sonavert::askInWindow(prompt);
}

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen");
}

} // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    std::unique_ptr<QCoreApplication> application;
    sonavert::shortcuts::WindowAsker asker;
    if (sonavert::shortcuts::asksInWindow(arguments) && hasDisplay()) {
        application = std::make_unique<QGuiApplication>(argc, argv);
        asker = &askInWindow;
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("sonavert-shortcuts"));
    return sonavert::shortcuts::runTool(QCoreApplication::arguments().mid(1), asker);
}
