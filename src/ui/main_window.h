#pragma once

#include "src/ui/window_services.h"

#include <QImage>
#include <QObject>
#include <memory>

class QQmlEngine;
class QQuickView;
class QQuickWindow;

namespace sonavert {

class WindowBridge;

/// The tray popup's window: the views over the coordinator, made on first use. The shell
/// places it, shows and hides it, and passes on the desktop's appearance settings.
class MainWindow : public QObject {
    Q_OBJECT
public:
    using Services = WindowServices;

    static constexpr int kWidth = 360;
    static constexpr int kHeight = 520;

    explicit MainWindow(Services services, QObject* parent = nullptr);
    ~MainWindow() override;

    /// Created and loaded on first call, 360 x 520.
    QQuickWindow* window();
    /// The shell follows the desktop's setting live.
    void setDarkAppearance(bool dark);
    void setAnimationsEnabled(bool enabled);
    /// The window's picture as it is now; empty before the window exists.
    QImage snapshot();

    /// The state the views show (for the shell's own tests and the screenshot tool).
    WindowBridge* bridge() const { return m_bridge; }
    /// The help guide's own window once it was opened; null before.
    QQuickWindow* helpWindow() const;

private:
    void createWindow();
    /// The picture that travels with the support mail.
    QImage supportSnapshot();

    Services m_services;
    WindowBridge* m_bridge;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<QQuickView> m_view;
};

} // namespace sonavert
