#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <memory>
#include <optional>

class QQmlEngine;
class QQuickView;

namespace sonavert {

/// The question before a Shortcut is added: which one, from where, and what adding it allows.
/// The dialog's view binds to it; the user's answer comes back through `answer`.
class ShortcutImportPrompt : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by the Shortcut import")
    Q_PROPERTY(QString question READ question CONSTANT)
    Q_PROPERTY(QString detail READ detail CONSTANT)
    Q_PROPERTY(bool darkAppearance READ darkAppearance NOTIFY darkAppearanceChanged)

public:
    /// The dialog window's title.
    inline static const QString kWindowTitle = QStringLiteral("Add Shortcut");

    ShortcutImportPrompt(QString name, QString file, QObject* parent = nullptr);

    QString question() const;
    QString detail() const;
    bool darkAppearance() const { return m_darkAppearance; }
    void setDarkAppearance(bool dark);

    /// The user's answer: true adds the Shortcut. Only the first answer counts.
    Q_INVOKABLE void answer(bool add);
    /// None until answered.
    std::optional<bool> answered() const { return m_answer; }

Q_SIGNALS:
    void darkAppearanceChanged();
    void answeredChanged();

private:
    QString m_name;
    QString m_file;
    bool m_darkAppearance = false;
    std::optional<bool> m_answer;
};

/// The prompt's window over `engine` (set up for the views), loaded and not yet shown; null,
/// with the reason logged, when the view did not load.
std::unique_ptr<QQuickView> makeImportWindow(QQmlEngine& engine, ShortcutImportPrompt& prompt);

/// Shows `prompt` in a window of its own and waits for the answer; closing the window is a
/// no. Needs a QGuiApplication.
bool askInWindow(ShortcutImportPrompt& prompt);

} // namespace sonavert
