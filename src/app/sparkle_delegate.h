#pragma once

#include <QObject>

namespace sonavert {

class SparkleUpdater;

/// The updater's delegate: it keeps automatic update checks on and the user unasked.
class SparkleDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// Asked once per run before the first scheduled check: switches automatic checks on and
    /// answers no, so the permission question is never shown.
    virtual bool updaterShouldPromptForPermissionToCheckForUpdates(SparkleUpdater& updater);
};

} // namespace sonavert
