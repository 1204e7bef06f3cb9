#include "src/ui/main_window.h"

#include "src/ui/symbol_icon_provider.h"
#include "src/ui/ui_module.h"
#include "src/ui/window_bridge.h"

#include <QQmlEngine>
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
    m_view->resize(kWidth, kHeight);
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

QQuickWindow* MainWindow::helpWindow() const {
    if (!m_view || !m_view->rootObject())
        return nullptr;
    return m_view->rootObject()->findChild<QQuickWindow*>(QStringLiteral("helpGuideWindow"));
}

} // namespace sonavert
