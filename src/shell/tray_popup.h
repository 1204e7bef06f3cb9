#pragma once

#include "src/runtime/clock.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QQuickWindow;

namespace sonavert {

/// Where the popup goes: against the tray icon when its geometry is known, else in the corner
/// of `screenArea` nearest the pointer (where a panel's tray usually sits), always inside
/// `screenArea`.
QPoint popupPosition(const QRect& trayGeometry, const QSize& windowSize, const QRect& screenArea,
                     const QPoint& pointer);

/// The window as the tray icon's popup, the way a menu-bar window behaves: a click on the
/// icon shows it next to the icon, a second click or a click elsewhere hides it. Without a
/// tray host the window is an ordinary one, shown at start, whose closing only hides it.
class TrayPopup : public QObject {
    Q_OBJECT
public:
    /// The window, created on first use.
    using WindowProvider = std::function<QQuickWindow*()>;
    struct Commands {
        std::function<void()> checkForUpdates;
        std::function<void()> quit;
        /// "Start at login", a checkable menu item, when both are given: whether the session
        /// starts Sonavert now, and the user's choice (the item then reads the state again, so
        /// a choice that failed shows as not taken).
        std::function<bool()> startsAtLogin;
        std::function<void(bool)> setStartsAtLogin;
        /// "Add Another Computer…", when both are given; shown only while it can be done.
        std::function<bool()> canAddAnotherComputer;
        std::function<void()> addAnotherComputer;
    };

    /// The tray's tooltip and title.
    static const QString kTitle;

    TrayPopup(WindowProvider window, Commands commands, std::shared_ptr<Clock> clock,
              QObject* parent = nullptr);
    ~TrayPopup() override;

    /// Shows the tray icon when a tray host is there, else the window.
    void start();

    bool hasTrayIcon() const { return m_tray != nullptr; }
    bool isWindowVisible() const;
    /// Shows and raises the window (next to the icon when there is one).
    void showWindow();
    void hideWindow();
    /// The icon's click: shows the hidden window, hides the shown one.
    void toggleWindow();

Q_SIGNALS:
    void windowShown();
    void windowHidden();
    /// The window was closed with no tray to reopen it from; emitted the first time only.
    void closedWithoutTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QQuickWindow* window();
    void prepareWindow(QQuickWindow* window);
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onActiveChanged();
    void onVisibleChanged(bool isVisible);
    void placeNextToIcon(QQuickWindow* window);
    void addStartAtLoginItem();
    void addAnotherComputerItem();

    WindowProvider m_windowProvider;
    Commands m_commands;
    std::shared_ptr<Clock> m_clock;
    /// Made by QML, which deletes it with its engine.
    QPointer<QQuickWindow> m_window;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    /// When focus loss last hid the popup: the click on the icon that took the focus away
    /// must not show it again at once.
    std::optional<Duration> m_hiddenByFocusLossAt;
    bool m_hasSaidClosed = false;
};

} // namespace sonavert
