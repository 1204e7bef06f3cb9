// The portal reader against a stand-in settings portal on a private session bus: the first
// values, live changes, and the palette fallback when no portal answers. Every wait is on a
// signal of the reader.

#include "src/shell/desktop_settings.h"
#include "tests/support/private_session_bus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;

namespace {

constexpr int kLimitMs = 20000;
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

/// org.freedesktop.portal.Settings as xdg-desktop-portal offers it: Read answers the value
/// wrapped in one more variant, as the portal does.
class StandInPortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    QHash<QString, QVariant> values;

    void change(const QString& nameSpace, const QString& key, const QVariant& value) {
        values.insert(nameSpace + QLatin1Char('/') + key, value);
        Q_EMIT SettingChanged(nameSpace, key, QDBusVariant(value));
    }

public Q_SLOTS:
    QDBusVariant Read(const QString& nameSpace, const QString& key) {
        const QVariant value = values.value(nameSpace + QLatin1Char('/') + key);
        if (!value.isValid()) {
            sendErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                           QStringLiteral("Requested setting not found"));
            return {};
        }
        return QDBusVariant(QVariant::fromValue(QDBusVariant(value)));
    }

Q_SIGNALS:
    void SettingChanged(const QString& nameSpace, const QString& key, const QDBusVariant& value);
};

const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kColorScheme = QStringLiteral("color-scheme");
const QString kInterface = QStringLiteral("org.gnome.desktop.interface");
const QString kAnimations = QStringLiteral("enable-animations");

} // namespace

class DesktopSettingsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::PrivateSessionBus> m_bus;
    QDBusConnection m_portalSide{QString()};
    QDBusConnection m_appSide{QString()};
    StandInPortal m_portal;
    int m_connections = 0;

    bool startPortal() {
        return m_portalSide.registerObject(kPortalPath, &m_portal,
                                           QDBusConnection::ExportAllSlots |
                                               QDBusConnection::ExportAllSignals) &&
               m_portalSide.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }

    // Starts a reader and waits until both first reads are answered.
    std::unique_ptr<DesktopSettings> settledReader(bool paletteIsDark) {
        auto reader =
            std::make_unique<DesktopSettings>(m_appSide, [paletteIsDark] { return paletteIsDark; });
        QSignalSpy settled(reader.get(), &DesktopSettings::settled);
        reader->start();
        // Both answers may be in before the wait starts: QtDBus can have a reply in before the
        // call is awaited, and then nothing suspends.
        if (settled.isEmpty() && !settled.wait(kLimitMs))
            return nullptr;
        return reader;
    }

private Q_SLOTS:
    void init() {
        m_bus = std::make_unique<test::PrivateSessionBus>();
        QString reason;
        if (!m_bus->start(&reason))
            QSKIP(qPrintable(reason));
        m_portalSide = m_bus->connect(QStringLiteral("portal-%1").arg(++m_connections));
        m_appSide = m_bus->connect(QStringLiteral("app-%1").arg(m_connections));
        m_portal.values.clear();
    }
    void cleanup() {
        m_portalSide.unregisterObject(kPortalPath);
        m_bus.reset();
    }

    void firstValuesComeFromThePortal() {
        QVERIFY(startPortal());
        m_portal.values.insert(kAppearance + QLatin1Char('/') + kColorScheme, uint(1));
        m_portal.values.insert(kInterface + QLatin1Char('/') + kAnimations, false);
        const auto reader = settledReader(false);
        QVERIFY(reader);
        QVERIFY(reader->isDark());
        QVERIFY(!reader->animationsEnabled());
    }

    void lightPreferenceWinsOverADarkPalette() {
        QVERIFY(startPortal());
        m_portal.values.insert(kAppearance + QLatin1Char('/') + kColorScheme, uint(2));
        const auto reader = settledReader(true);
        QVERIFY(reader);
        QVERIFY(!reader->isDark());
        // No animation setting on this desktop: animations stay on.
        QVERIFY(reader->animationsEnabled());
    }

    void changesAreFollowedLive() {
        QVERIFY(startPortal());
        m_portal.values.insert(kAppearance + QLatin1Char('/') + kColorScheme, uint(2));
        m_portal.values.insert(kInterface + QLatin1Char('/') + kAnimations, true);
        const auto reader = settledReader(false);
        QVERIFY(reader);
        QVERIFY(!reader->isDark());

        QSignalSpy darkChanged(reader.get(), &DesktopSettings::isDarkChanged);
        m_portal.change(kAppearance, kColorScheme, uint(1));
        QVERIFY(darkChanged.wait(kLimitMs));
        QVERIFY(reader->isDark());

        QSignalSpy animationsChanged(reader.get(), &DesktopSettings::animationsEnabledChanged);
        m_portal.change(kInterface, kAnimations, false);
        QVERIFY(animationsChanged.wait(kLimitMs));
        QVERIFY(!reader->animationsEnabled());

        // "No preference" hands the choice back to the palette (light here).
        m_portal.change(kAppearance, kColorScheme, uint(0));
        QVERIFY(darkChanged.wait(kLimitMs));
        QVERIFY(!reader->isDark());
    }

    void otherSettingsAreIgnored() {
        QVERIFY(startPortal());
        m_portal.values.insert(kAppearance + QLatin1Char('/') + kColorScheme, uint(1));
        const auto reader = settledReader(false);
        QVERIFY(reader);
        QSignalSpy darkChanged(reader.get(), &DesktopSettings::isDarkChanged);
        QSignalSpy animationsChanged(reader.get(), &DesktopSettings::animationsEnabledChanged);
        m_portal.change(kAppearance, QStringLiteral("accent-color"), uint(2));
        m_portal.change(QStringLiteral("org.example"), kColorScheme, uint(2));
        // A change the reader does follow, sent last: once it is seen, the others were too.
        m_portal.change(kInterface, kAnimations, false);
        QVERIFY(animationsChanged.wait(kLimitMs));
        QCOMPARE(darkChanged.count(), 0);
        QVERIFY(reader->isDark());
    }

    void withoutAPortalThePaletteDecides() {
        for (const bool paletteIsDark : {true, false}) {
            const auto reader = settledReader(paletteIsDark);
            QVERIFY(reader);
            QCOMPARE(reader->isDark(), paletteIsDark);
            QVERIFY(reader->animationsEnabled());
        }
    }
};

QTEST_GUILESS_MAIN(DesktopSettingsTest)
#include "desktop_settings_test.moc"
