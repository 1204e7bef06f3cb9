#pragma once

#include <QString>
#include <QUrl>

class QQmlEngine;

namespace sonavert::ui_module {

/// Makes the Sonavert.Ui views and the symbol images known to `engine`.
void prepareEngine(QQmlEngine& engine, bool useIconTheme = true);
/// The view named `name` ("ContentView") inside the module's resources.
QUrl viewUrl(const QString& name);

} // namespace sonavert::ui_module
