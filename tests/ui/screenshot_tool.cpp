// Renders every screen of the window, light and dark, into PNG files: the pictures in
// docs/screenshots are made by this over the real bridge and views on fake services.
//
// Usage: sonavert_ui_screenshots OUTPUT_DIR

#include "src/ui/main_window.h"
#include "src/ui/shortcut_import_prompt.h"
#include "src/ui/ui_module.h"
#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"
#include "tests/ui/window_scenes.h"

#include <QDir>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

bool save(QQuickWindow* window, const QString& path) {
    if (!window || !window->isVisible())
        return false;
    if (!QTest::qWaitForWindowExposed(window))
        return false;
    QCoreApplication::processEvents();
    const bool saved = window->grabWindow().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

QQuickWindow* childWindow(MainWindow& main, const char* name) {
    return main.window()->contentItem()->findChild<QQuickWindow*>(QString::fromLatin1(name));
}

/// Finds a view by name through the visual tree, where list rows live without a QObject
/// parent.
QQuickItem* findItem(QQuickItem* root, const QString& name) {
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

/// Puts the pointer over one row and pulls another open, to show both kinds of row actions.
void showRowActions(MainWindow& main) {
    QQuickWindow* window = main.window();
    auto* kitchen = findItem(window->contentItem(), u"deviceRow_Kitchen"_s);
    auto* den = findItem(window->contentItem(), u"deviceRow_Den"_s);
    if (den)
        den->setProperty("swipeOffset", -144.0);
    if (kitchen) {
        const QPointF centre =
            kitchen->mapToScene(QPointF(kitchen->width() / 2, kitchen->height() / 2));
        // The first move enters the window, the second one lands on the row.
        QTest::mouseMove(window, centre.toPoint() - QPoint(0, 4));
        QTest::mouseMove(window, centre.toPoint());
    }
    QTest::qWait(260);
}

/// Opens the context menu of one row.
void showContextMenu(MainWindow& main) {
    QQuickWindow* window = main.window();
    if (auto* den = findItem(window->contentItem(), u"deviceRow_Den"_s)) {
        const QPointF at = den->mapToScene(QPointF(90, den->height() / 2));
        QTest::mouseMove(window, at.toPoint());
        QTest::mouseClick(window, Qt::RightButton, {}, at.toPoint());
    }
    QTest::qWait(120);
}

bool render(const QString& scene, bool dark, const QString& directory) {
    WindowRig rig;
    WindowScenes scenes(rig);
    const bool rowActions = scene == QLatin1String("row-actions");
    const bool contextMenu = scene == QLatin1String("context-menu");
    const QString base = rowActions || contextMenu ? u"devices"_s : scene;
    scenes.prepare(base);
    MainWindow main(rig.services(/*withInstaller=*/true, u"212"_s));
    main.setDarkAppearance(dark);
    QQuickWindow* window = main.window();
    scenes.finish(base, *main.bridge());
    window->show();
    rig.settle();
    if (rowActions)
        showRowActions(main);
    if (contextMenu)
        showContextMenu(main);
    QTest::qWait(50);
    const QString suffix = dark ? u"-dark.png"_s : u"-light.png"_s;
    bool ok = save(window, directory + QLatin1Char('/') + scene + suffix);
    if (scene == QLatin1String("music-consent") || scene == QLatin1String("onboarding"))
        ok &= save(childWindow(main, "sheetWindow"),
                   directory + QLatin1Char('/') + scene + u"-sheet"_s + suffix);
    // The scenes that open a window of their own, and the picture it goes in.
    static const QMap<QString, std::pair<const char*, QString>> kDialogs = {
        {u"invite"_s, {"inviteWindow", u"invite-dialog"_s}},
        {u"verify"_s, {"verifyWindow", u"verify-dialog"_s}},
        {u"joining"_s, {"verifyWindow", u"joining-dialog"_s}},
        {u"joined"_s, {"verifyWindow", u"joined-dialog"_s}},
        {u"help"_s, {"helpGuideWindow", u"help-guide"_s}}};
    if (const auto dialog = kDialogs.find(scene); dialog != kDialogs.end())
        ok &= save(childWindow(main, dialog->first),
                   directory + QLatin1Char('/') + dialog->second + suffix);
    window->hide();
    return ok;
}

/// The confirmation sonavert-shortcuts shows before adding a Shortcut.
bool renderImportDialog(bool dark, const QString& directory) {
    QQmlEngine engine;
    ui_module::prepareEngine(engine, /*useIconTheme=*/false);
    ShortcutImportPrompt prompt(u"SonavertReceiver"_s,
                                u"/usr/share/sonavert/SonavertReceiver.shortcut"_s);
    prompt.setDarkAppearance(dark);
    const std::unique_ptr<QQuickView> window = makeImportWindow(engine, prompt);
    if (!window)
        return false;
    window->show();
    QTest::qWait(50);
    const bool ok = save(window.get(), directory + u"/shortcut-import-dialog"_s +
                                           (dark ? u"-dark.png"_s : u"-light.png"_s));
    window->hide();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(directory);
    QStringList scenes = WindowScenes::names();
    scenes << u"row-actions"_s << u"context-menu"_s;
    bool ok = true;
    for (const QString& scene : scenes) {
        for (bool dark : {false, true})
            ok &= render(scene, dark, directory);
    }
    for (bool dark : {false, true})
        ok &= renderImportDialog(dark, directory);
    return ok ? 0 : 1;
}
