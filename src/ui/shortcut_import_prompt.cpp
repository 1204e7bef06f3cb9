#include "src/ui/shortcut_import_prompt.h"

#include "src/runtime/log_channel.h"
#include "src/ui/ui_module.h"

#include <QEventLoop>
#include <QQmlEngine>
#include <QQmlError>
#include <QQuickView>

namespace sonavert {

ShortcutImportPrompt::ShortcutImportPrompt(QString name, QString file, QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
    , m_file(std::move(file)) {}

QString ShortcutImportPrompt::question() const {
    return QStringLiteral("Add the Shortcut \u201c%1\u201d?").arg(m_name);
}

QString ShortcutImportPrompt::detail() const {
    return QStringLiteral("From %1. Once added, it can run on this computer whenever Sonavert "
                          "asks for it. Add only Shortcuts you trust.")
        .arg(m_file);
}

void ShortcutImportPrompt::setDarkAppearance(bool dark) {
    if (dark == m_darkAppearance)
        return;
    m_darkAppearance = dark;
    Q_EMIT darkAppearanceChanged();
}

void ShortcutImportPrompt::answer(bool add) {
    if (m_answer)
        return;
    m_answer = add;
    Q_EMIT answeredChanged();
}

std::unique_ptr<QQuickView> makeImportWindow(QQmlEngine& engine, ShortcutImportPrompt& prompt) {
    auto view = std::make_unique<QQuickView>(&engine, nullptr);
    view->setTitle(ShortcutImportPrompt::kWindowTitle);
    view->setResizeMode(QQuickView::SizeViewToRootObject);
    view->setInitialProperties({{QStringLiteral("prompt"), QVariant::fromValue(&prompt)}});
    view->setSource(ui_module::viewUrl(QStringLiteral("ShortcutImportDialog")));
    if (view->status() == QQuickView::Ready)
        return view;
    for (const QQmlError& error : view->errors())
        developerLog(QStringLiteral("shortcut dialog: the view did not load: ") + error.toString());
    return nullptr;
}

bool askInWindow(ShortcutImportPrompt& prompt) {
    QQmlEngine engine;
    ui_module::prepareEngine(engine);
    const std::unique_ptr<QQuickView> window = makeImportWindow(engine, prompt);
    if (!window)
        return false;
    QQuickView& view = *window;
    QEventLoop loop;
    QObject::connect(&prompt, &ShortcutImportPrompt::answeredChanged, &loop, &QEventLoop::quit);
    // Closing the window is the user's no.
    QObject::connect(&view, &QWindow::visibleChanged, &loop, [&prompt](bool visible) {
        if (!visible)
            prompt.answer(false);
    });
    view.show();
    view.requestActivate();
    if (!prompt.answered())
        loop.exec();
    return prompt.answered().value_or(false);
}

} // namespace sonavert
