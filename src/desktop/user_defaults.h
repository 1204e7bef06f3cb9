#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <memory>
#include <optional>

class QSettings;

namespace sonavert {

/// Typed small persistent values under fixed keys. A typed read gives nothing when the key is
/// absent or holds a value of another type, so corrupt or foreign data never passes as valid.
/// Values are booleans, integers, texts, data, arrays of text and text-to-text dictionaries.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    /// The raw stored value; invalid when absent.
    virtual QVariant object(const QString& key) const = 0;
    virtual void setObject(const QString& key, const QVariant& value) = 0;
    virtual void removeObject(const QString& key) = 0;

    bool contains(const QString& key) const { return object(key).isValid(); }
    std::optional<bool> boolValue(const QString& key) const;
    /// Like the platform's bool(forKey:): false when absent or not a boolean.
    bool isTrue(const QString& key) const { return boolValue(key).value_or(false); }
    std::optional<qint64> integer(const QString& key) const;
    std::optional<QString> string(const QString& key) const;
    std::optional<QByteArray> data(const QString& key) const;
    std::optional<QStringList> stringArray(const QString& key) const;
    std::optional<QMap<QString, QString>> stringDictionary(const QString& key) const;

    void setBool(const QString& key, bool value) { setObject(key, QVariant(value)); }
    void setInteger(const QString& key, qint64 value) { setObject(key, QVariant(value)); }
    void setString(const QString& key, const QString& value) { setObject(key, QVariant(value)); }
    void setData(const QString& key, const QByteArray& value) { setObject(key, QVariant(value)); }
    void setStringArray(const QString& key, const QStringList& value) {
        setObject(key, QVariant(value));
    }
    void setStringDictionary(const QString& key, const QMap<QString, QString>& value);
    /// Puts what was written so far on disk before returning, for the few values that must
    /// survive the process being killed right afterwards; most writes are batched instead.
    virtual void flush() {}
};

/// Defaults kept in memory only (tests, throwaway runs).
class InMemoryUserDefaults final : public UserDefaults {
public:
    QVariant object(const QString& key) const override { return m_values.value(key); }
    void setObject(const QString& key, const QVariant& value) override {
        m_values.insert(key, value);
    }
    void removeObject(const QString& key) override { m_values.remove(key); }

private:
    QVariantMap m_values;
};

/// Defaults in one JSON file through QSettings: the file keeps each value's type (data as
/// base64, dictionaries as objects), writes are atomic and batched by QSettings, and a file
/// that cannot be parsed reads as empty.
class SettingsUserDefaults final : public UserDefaults {
public:
    explicit SettingsUserDefaults(const QString& filePath);
    ~SettingsUserDefaults() override;

    QVariant object(const QString& key) const override;
    void setObject(const QString& key, const QVariant& value) override;
    void removeObject(const QString& key) override;
    /// Writes pending changes now.
    void sync();
    void flush() override { sync(); }
    QString filePath() const;

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace sonavert
