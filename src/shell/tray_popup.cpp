#include "src/shell/tray_popup.h"

#include "src/shell/app_icon.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QQuickWindow>
#include <QScreen>
#include <algorithm>

namespace sonavert {

namespace {

// A click on the icon while the popup is open first takes the focus away (which hides the
// popup) and then arrives as the click; within this time it counts as the same gesture.
constexpr Duration kSameGesture = 400ms;
// Space between the popup and the panel or the screen's edge.
constexpr int kMargin = 4;

bool isWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

const QString TrayPopup::kTitle = QStringLiteral("Sonavert - Playback Transfer");

QPoint popupPosition(const QRect& trayGeometry, const QSize& windowSize, const QRect& screenArea,
                     const QPoint& pointer) {
    const bool hasIcon = trayGeometry.isValid() && !trayGeometry.isEmpty();
    const QPoint anchor = hasIcon ? trayGeometry.center() : pointer;
    const bool isAtTop = anchor.y() < screenArea.center().y();
    int x = anchor.x() - windowSize.width() / 2;
    int y = 0;
    if (isAtTop)
        y = hasIcon ? trayGeometry.bottom() + 1 + kMargin : screenArea.top() + kMargin;
    else
        y = (hasIcon ? trayGeometry.top() : screenArea.bottom() + 1) - kMargin -
            windowSize.height();
    x = std::clamp(x, screenArea.left() + kMargin,
                   std::max(screenArea.left() + kMargin,
                            screenArea.right() + 1 - kMargin - windowSize.width()));
    y = std::clamp(y, screenArea.top(),
                   std::max(screenArea.top(), screenArea.bottom() + 1 - windowSize.height()));
    return {x, y};
}

TrayPopup::TrayPopup(WindowProvider window, Commands commands, std::shared_ptr<Clock> clock,
                     QObject* parent)
    : QObject(parent)
    , m_windowProvider(std::move(window))
    , m_commands(std::move(commands))
    , m_clock(std::move(clock)) {}

TrayPopup::~TrayPopup() = default;

void TrayPopup::start() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        showWindow();
        return;
    }
    m_menu = std::make_unique<QMenu>();
    m_menu->addAction(QStringLiteral("Open Sonavert"), this, &TrayPopup::showWindow);
    addAnotherComputerItem();
    m_menu->addAction(QStringLiteral("Check for Updates"), this,
                      [this] { m_commands.checkForUpdates(); });
    addStartAtLoginItem();
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Quit Sonavert"), this, [this] { m_commands.quit(); });
    m_tray = std::make_unique<QSystemTrayIcon>(applicationIcon());
    m_tray->setToolTip(kTitle);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, &TrayPopup::onActivated);
    m_tray->show();
}

void TrayPopup::addStartAtLoginItem() {
    if (!m_commands.startsAtLogin || !m_commands.setStartsAtLogin)
        return;
    QAction* item = m_menu->addAction(QStringLiteral("Start at login"));
    item->setCheckable(true);
    item->setChecked(m_commands.startsAtLogin());
    connect(item, &QAction::triggered, this, [this, item](bool checked) {
        m_commands.setStartsAtLogin(checked);
        item->setChecked(m_commands.startsAtLogin());
    });
    // The entry is a file the user may also remove by hand: the menu shows what is there now.
    connect(m_menu.get(), &QMenu::aboutToShow, this,
            [this, item] { item->setChecked(m_commands.startsAtLogin()); });
}

void TrayPopup::addAnotherComputerItem() {
    if (!m_commands.canAddAnotherComputer || !m_commands.addAnotherComputer)
        return;
    QAction* item = m_menu->addAction(QStringLiteral("Add Another Computer\u2026"), this,
                                      [this] { m_commands.addAnotherComputer(); });
    // Signed out there is nobody to invite: the entry comes back with the account.
    const auto refresh = [this, item] { item->setVisible(m_commands.canAddAnotherComputer()); };
    refresh();
    connect(m_menu.get(), &QMenu::aboutToShow, this, refresh);
}

bool TrayPopup::isWindowVisible() const {
    return m_window && m_window->isVisible();
}

QQuickWindow* TrayPopup::window() {
    if (!m_window) {
        m_window = m_windowProvider();
        if (m_window)
            prepareWindow(m_window);
    }
    return m_window;
}

void TrayPopup::prepareWindow(QQuickWindow* window) {
    window->setIcon(applicationIcon());
    if (m_tray) {
        // A popup: no frame, no taskbar entry, above the other windows like a menu.
        window->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    } else {
        window->setTitle(QStringLiteral("Sonavert"));
    }
    // A filter rather than a QShortcut: under QApplication a shortcut whose parent is a bare
    // QWindow never matches.
    window->installEventFilter(this);
    connect(window, &QWindow::activeChanged, this, &TrayPopup::onActiveChanged);
    connect(window, &QWindow::visibleChanged, this, &TrayPopup::onVisibleChanged);
}

bool TrayPopup::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier) {
            m_commands.quit();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TrayPopup::showWindow() {
    QQuickWindow* popup = window();
    if (!popup)
        return;
    if (m_tray && !isWayland())
        placeNextToIcon(popup);
    popup->show();
    popup->raise();
    popup->requestActivate();
}

void TrayPopup::hideWindow() {
    if (m_window)
        m_window->hide();
}

void TrayPopup::toggleWindow() {
    if (isWindowVisible()) {
        hideWindow();
        return;
    }
    const bool isSameGesture =
        m_hiddenByFocusLossAt && m_clock->monotonicNow() - *m_hiddenByFocusLossAt < kSameGesture;
    m_hiddenByFocusLossAt.reset();
    if (!isSameGesture)
        showWindow();
}

void TrayPopup::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger)
        toggleWindow();
}

void TrayPopup::onActiveChanged() {
    // Only the popup goes away on a click elsewhere; an ordinary window stays.
    if (!m_tray || !m_window || m_window->isActive() || !m_window->isVisible())
        return;
    m_hiddenByFocusLossAt = m_clock->monotonicNow();
    m_window->hide();
}

void TrayPopup::onVisibleChanged(bool isVisible) {
    if (isVisible) {
        Q_EMIT windowShown();
        return;
    }
    Q_EMIT windowHidden();
    if (!m_tray && !m_hasSaidClosed) {
        m_hasSaidClosed = true;
        Q_EMIT closedWithoutTray();
    }
}

void TrayPopup::placeNextToIcon(QQuickWindow* window) {
    const QPoint pointer = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(pointer);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    window->setScreen(screen);
    window->setPosition(
        popupPosition(m_tray->geometry(), window->size(), screen->availableGeometry(), pointer));
}

} // namespace sonavert
