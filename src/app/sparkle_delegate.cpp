#include "src/app/sparkle_delegate.h"

#include "src/app/sparkle_updater.h"

namespace sonavert {

bool SparkleDelegate::updaterShouldPromptForPermissionToCheckForUpdates(SparkleUpdater& updater) {
    updater.setAutomaticallyChecksForUpdates(true);
    return false;
}

} // namespace sonavert
