#include "src/ui/main_window.h"

#include "src/runtime/log_channel.h"
#include "src/ui/symbol_icon_provider.h"
#include "src/ui/ui_module.h"
#include "src/ui/window_bridge.h"

#include <QQmlEngine>
#include <QQmlError>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>

namespace sonavert {

MainWindow::MainWindow(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_bridge(new WindowBridge(
          m_services, [this] { return snapshot(); }, this)) {}

MainWindow::~MainWindow() {
    // The view goes before the engine and the bridge its bindings read.
    m_view.reset();
    m_engine.reset();
}

QQuickWindow* MainWindow::window() {
    if (!m_view)
        createWindow();
    return m_view.get();
}

void MainWindow::createWindow() {
    m_engine = std::make_unique<QQmlEngine>();
    ui_module::prepareEngine(*m_engine);
    m_view = std::make_unique<QQuickView>(m_engine.get(), nullptr);
    m_view->setTitle(QStringLiteral("Sonavert"));
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    m_view->setInitialProperties({{QStringLiteral("bridge"), QVariant::fromValue(m_bridge)}});
    m_view->setSource(ui_module::viewUrl(QStringLiteral("ContentView")));
    // A view that does not load leaves an empty window: say why, where a user or a packager
    // sees it, instead of only in Qt's warnings.
    for (const QQmlError& error : m_view->errors())
        developerLog(QStringLiteral("window: the views did not load: ") + error.toString());
    m_view->resize(kWidth, kHeight);
    // The guide and the sheets are windows of their own: a transient window cannot be hidden
    // while its parent is, and the popup is already hidden when the views hear of it.
    if (QQuickItem* root = m_view->rootObject()) {
        for (QQuickWindow* dialog : root->findChildren<QQuickWindow*>())
            dialog->setTransientParent(nullptr);
    }
    connect(m_view.get(), &QWindow::visibleChanged, m_bridge,
            [this](bool visible) { m_bridge->setWindowVisible(visible); });
}

void MainWindow::setDarkAppearance(bool dark) {
    m_bridge->setDarkAppearance(dark);
}

void MainWindow::setAnimationsEnabled(bool enabled) {
    m_bridge->setAnimationsEnabled(enabled);
}

QImage MainWindow::snapshot() {
    return m_view ? m_view->grabWindow() : QImage();
}

QImage MainWindow::supportSnapshot() {
    // The window the user is in (the guide, where "Contact Support" is), else the first one
    // that shows.
    QQuickWindow* help = helpWindow();
    const QList<QQuickWindow*> windows{help, m_view.get()};
    for (QQuickWindow* candidate : windows) {
        if (candidate && candidate->isVisible() && candidate->isActive())
            return candidate->grabWindow();
    }
    QQuickWindow* const inOrder[] = {m_view.get(), help};
    for (QQuickWindow* candidate : inOrder) {
        if (candidate && candidate->isVisible())
            return candidate->grabWindow();
    }
    return {};
}

QQuickWindow* MainWindow::helpWindow() const {
    if (!m_view || !m_view->rootObject())
        return nullptr;
    return m_view->rootObject()->findChild<QQuickWindow*>(QStringLiteral("helpGuideWindow"));
}

} // namespace sonavert
