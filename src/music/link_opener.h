#pragma once

#include <QUrl>

namespace sonavert {

/// Hands a link to whatever handles it on this desktop (catalog and station links to the
/// player, Shortcut links to the Shortcuts tool, the rest to the desktop). Returns at once;
/// whether the handler succeeded is not reported, so nothing here may wait on it.
class LinkOpener {
public:
    virtual ~LinkOpener() = default;
    virtual void open(const QUrl& link) = 0;
};

} // namespace sonavert
