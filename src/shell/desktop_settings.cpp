#include "src/shell/desktop_settings.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QPalette>
#include <iterator>

namespace sonavert {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");

// The portal's colour-scheme values.
constexpr uint kPrefersDark = 1;
constexpr uint kPrefersLight = 2;

// Read answers a variant; older portals wrap the value in one more variant.
QVariant unwrapped(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

struct DesktopSettings::Setting {
    const char* nameSpace;
    const char* key;
    // A plain function rather than a member pointer: g++ 12 under the sanitizers warns falsely
    // about calls through an indexed table of member pointers.
    void (*apply)(DesktopSettings& settings, const QVariant& value);
};

const DesktopSettings::Setting DesktopSettings::kSettings[] = {
    {"org.freedesktop.appearance", "color-scheme",
     [](DesktopSettings& settings, const QVariant& value) { settings.applyColorScheme(value); }},
    {"org.gnome.desktop.interface", "enable-animations",
     [](DesktopSettings& settings, const QVariant& value) { settings.applyAnimations(value); }},
};

DesktopSettings::DesktopSettings(QDBusConnection bus, PaletteIsDark paletteIsDark, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_paletteIsDark(std::move(paletteIsDark)) {
    m_isDark = m_paletteIsDark();
}

bool DesktopSettings::applicationPaletteIsDark() {
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

void DesktopSettings::start() {
    // No sender name in the match: naming the portal's well-known name makes QtDBus look up
    // its owner with a blocking call.
    m_bus.connect(QString(), kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                  this, SLOT(onSettingChanged(QString, QString, QDBusVariant)));
    m_unanswered = static_cast<int>(std::size(kSettings));
    for (int index = 0; index < m_unanswered; ++index)
        readInitial(index);
}

QCoro::Task<> DesktopSettings::readInitial(int index) {
    const std::stop_token stop = m_tasks.token();
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                       kSettingsInterface, QStringLiteral("Read"));
    call.setArguments({QString::fromLatin1(kSettings[index].nameSpace),
                       QString::fromLatin1(kSettings[index].key)});
    const QDBusPendingCall pending = m_bus.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    if (stop.stop_requested())
        co_return;
    const bool hasValue =
        reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    if (hasValue && !m_hasChanged[index])
        apply(index, unwrapped(reply.arguments().constFirst()));
    if (--m_unanswered == 0)
        Q_EMIT settled();
}

void DesktopSettings::onSettingChanged(const QString& nameSpace, const QString& key,
                                       const QDBusVariant& value) {
    for (int index = 0; index < static_cast<int>(std::size(kSettings)); ++index) {
        if (nameSpace == QLatin1String(kSettings[index].nameSpace) &&
            key == QLatin1String(kSettings[index].key)) {
            m_hasChanged[index] = true;
            apply(index, unwrapped(value.variant()));
        }
    }
}

void DesktopSettings::apply(int index, const QVariant& value) {
    kSettings[index].apply(*this, value);
}

void DesktopSettings::applyColorScheme(const QVariant& value) {
    const uint scheme = value.toUInt();
    if (scheme == kPrefersDark || scheme == kPrefersLight)
        setDark(scheme == kPrefersDark);
    else
        setDark(m_paletteIsDark());
}

void DesktopSettings::applyAnimations(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<bool>())
        setAnimationsEnabled(value.toBool());
}

void DesktopSettings::setDark(bool isDark) {
    if (m_isDark == isDark)
        return;
    m_isDark = isDark;
    Q_EMIT isDarkChanged();
}

void DesktopSettings::setAnimationsEnabled(bool enabled) {
    if (m_animationsEnabled == enabled)
        return;
    m_animationsEnabled = enabled;
    Q_EMIT animationsEnabledChanged();
}

} // namespace sonavert
