#pragma once

#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QVariant>
#include <functional>

namespace sonavert {

/// The desktop's appearance (dark or light) and whether it wants animations, read from the
/// XDG settings portal and followed live. When no portal answers, or the desktop states no
/// preference, the palette's lightness decides dark or light and animations stay on.
class DesktopSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isDark READ isDark NOTIFY isDarkChanged)
    Q_PROPERTY(bool animationsEnabled READ animationsEnabled NOTIFY animationsEnabledChanged)

public:
    /// Whether the application palette is a dark one: the fallback.
    using PaletteIsDark = std::function<bool()>;

    DesktopSettings(QDBusConnection bus, PaletteIsDark paletteIsDark, QObject* parent = nullptr);

    /// Follows changes, then asks for the current values; `settled` follows the answers.
    void start();

    bool isDark() const { return m_isDark; }
    bool animationsEnabled() const { return m_animationsEnabled; }

    /// The palette's own answer, for a QGuiApplication: a window colour of low lightness.
    static bool applicationPaletteIsDark();

Q_SIGNALS:
    void isDarkChanged();
    void animationsEnabledChanged();
    /// Both first reads were answered (with a value or an error).
    void settled();

private Q_SLOTS:
    void onSettingChanged(const QString& nameSpace, const QString& key, const QDBusVariant& value);

private:
    struct Setting;
    static const Setting kSettings[];

    QCoro::Task<> readInitial(int index);
    void apply(int index, const QVariant& value);
    void applyColorScheme(const QVariant& value);
    void applyAnimations(const QVariant& value);
    void setDark(bool isDark);
    void setAnimationsEnabled(bool enabled);

    QDBusConnection m_bus;
    PaletteIsDark m_paletteIsDark;
    bool m_isDark = false;
    bool m_animationsEnabled = true;
    int m_unanswered = 0;
    /// A change signal that arrived before a read's answer is newer than that answer.
    bool m_hasChanged[2] = {false, false};
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
