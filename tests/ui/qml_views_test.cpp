// Runs the view tests in tests/ui/qml over real bridges on fake services. Any warning or
// critical message while they run fails the test that caused it.

#include "src/ui/shortcut_import_prompt.h"
#include "src/ui/ui_module.h"
#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"
#include "tests/ui/window_scenes.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>
#include <memory>
#include <vector>

using namespace sonavert;
using namespace sonavert::test;

namespace {

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        g_warnings << message;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

/// What the QML tests reach: scenes as bridges, and what the fakes saw.
class ViewHarness : public QObject {
    Q_OBJECT
public:
    /// A fresh bridge in the named scene (see WindowScenes).
    Q_INVOKABLE sonavert::WindowBridge* load(const QString& scene) {
        m_rigs.push_back(std::make_unique<WindowRig>());
        WindowRig& rig = *m_rigs.back();
        WindowScenes scenes(rig);
        if (!scenes.prepare(scene))
            qWarning("no scene %s", qPrintable(scene));
        WindowBridge& bridge = rig.makeBridge();
        scenes.finish(scene, bridge);
        QQmlEngine::setObjectOwnership(&bridge, QQmlEngine::CppOwnership);
        return &bridge;
    }
    /// A device list over the sample devices that can favourite but not forget.
    Q_INVOKABLE sonavert::DeviceListModel* listWithoutForget() {
        DeviceListModel::Actions actions;
        actions.onFavorite = [this](const QString& id) { m_favorited << id; };
        auto* model = new DeviceListModel(actions, this);
        DeviceRowContext context;
        context.canPush = true;
        context.now = Timestamp{1000.0};
        model->update(WindowScenes::sampleDevices(context.now), context);
        return model;
    }
    Q_INVOKABLE QStringList favorited() const { return m_favorited; }

    /// Each test watches the messages of its own run: the test library puts its handler in
    /// place when a test case starts, so ours goes on top of it and passes every message on.
    Q_INVOKABLE void watchMessages() {
        g_warnings.clear();
        g_previousHandler = qInstallMessageHandler(recordWarnings);
    }
    /// Ends the watch and gives the warnings seen during it.
    Q_INVOKABLE QStringList takeWarnings() {
        qInstallMessageHandler(g_previousHandler);
        g_previousHandler = nullptr;
        const QStringList taken = g_warnings;
        g_warnings.clear();
        return taken;
    }
    Q_INVOKABLE void advance(int milliseconds) {
        rig().clock().advance(std::chrono::milliseconds(milliseconds));
    }
    /// Moves the account keys' cloud on: the other computer answers, records are saved.
    Q_INVOKABLE void advanceKeys(int milliseconds) {
        if (rig().keys)
            rig().keys->clock->advance(std::chrono::milliseconds(milliseconds));
    }
    /// Whether the computer being verified (Study) holds the key now.
    Q_INVOKABLE bool studyHoldsKey() {
        return rig().keys && rig().keys->study->keys.keyRing().has_value();
    }
    Q_INVOKABLE int deviceCount() { return int(rig().coordinator().devices().size()); }
    Q_INVOKABLE bool isFavorite(const QString& name) {
        for (const AppDevice& device : rig().coordinator().devices()) {
            if (device.name == name)
                return device.isFavorite;
        }
        return false;
    }
    Q_INVOKABLE void setTransferError(const QString& text) {
        rig().coordinator().setTransferError(text);
    }
    /// The window around the views was shown or hidden; the desktop's motion setting.
    Q_INVOKABLE void setShown(bool shown) { rig().bridge->setWindowVisible(shown); }
    Q_INVOKABLE void setSuccessorChannel(const QString& channel) {
        rig().bridge->setSuccessorChannel(channel);
    }
    Q_INVOKABLE void setAnimations(bool enabled) { rig().bridge->setAnimationsEnabled(enabled); }
    Q_INVOKABLE bool storedFlag(const QString& key) { return rig().defaults().isTrue(key); }
    Q_INVOKABLE bool hasStored(const QString& key) { return rig().defaults().contains(key); }
    Q_INVOKABLE int openedUrls() { return int(rig().actions.openedUrls.size()); }
    Q_INVOKABLE QString lastOpenedUrl() {
        return rig().actions.openedUrls.isEmpty()
                   ? QString()
                   : rig().actions.openedUrls.last().toString(QUrl::FullyEncoded);
    }
    Q_INVOKABLE int supportMails() { return int(rig().actions.supportMails.size()); }
    Q_INVOKABLE int updateChecks() { return rig().actions.updateChecks; }
    Q_INVOKABLE int quits() { return rig().actions.quits; }
    Q_INVOKABLE int shortcutOffers() { return int(rig().links.opened.size()); }
    Q_INVOKABLE void setDark(bool dark) { rig().bridge->setDarkAppearance(dark); }
    /// The account session's calls; how long each of them takes from now on.
    Q_INVOKABLE QStringList accountCalls() { return rig().account.calls; }
    Q_INVOKABLE void setAccountLatency(int milliseconds) {
        rig().account.latency = std::chrono::milliseconds(milliseconds);
    }
    Q_INVOKABLE QStringList copied() { return rig().actions.copied; }

    /// A Shortcut import's question, kept until the run ends; its answer, or "none".
    Q_INVOKABLE sonavert::ShortcutImportPrompt* importPrompt(const QString& name,
                                                             const QString& file, bool dark) {
        m_prompts.push_back(std::make_unique<ShortcutImportPrompt>(name, file));
        m_prompts.back()->setDarkAppearance(dark);
        // Kept here: an object handed to QML without a parent would be QML's to delete.
        QQmlEngine::setObjectOwnership(m_prompts.back().get(), QQmlEngine::CppOwnership);
        return m_prompts.back().get();
    }
    Q_INVOKABLE QString importAnswer() const {
        const std::optional<bool> answer = m_prompts.back()->answered();
        return !answer   ? QStringLiteral("none")
               : *answer ? QStringLiteral("add")
                         : QStringLiteral("cancel");
    }

    /// Rigs outlive the views made over them until the whole run ends.
    void clear() {
        m_rigs.clear();
        m_prompts.clear();
    }

private:
    WindowRig& rig() { return *m_rigs.back(); }

    std::vector<std::unique_ptr<WindowRig>> m_rigs;
    std::vector<std::unique_ptr<ShortcutImportPrompt>> m_prompts;
    QStringList m_favorited;
};

class Setup : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* engine) {
        // Bundled icons only: the pictures must not depend on the machine's theme.
        ui_module::prepareEngine(*engine, /*useIconTheme=*/false);
        engine->rootContext()->setContextProperty(QStringLiteral("harness"), &m_harness);
    }
    void cleanupTestCase() { m_harness.clear(); }

private:
    ViewHarness m_harness;
};

QUICK_TEST_MAIN_WITH_SETUP(qml_views, Setup)

#include "qml_views_test.moc"
