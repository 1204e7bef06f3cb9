#include "src/ui/symbol_icons.h"

#include <iterator>

namespace sonavert::symbol_icons {

namespace {

// Symbolic theme names: monochrome, so tinting keeps them looking like one family with our
// own drawings whatever the theme.
constexpr SymbolIcon kIcons[] = {
    {"checklist", "view-list-bullet-symbolic", "checklist.svg"},
    {"exclamationmark.triangle.fill", "dialog-warning-symbolic", "warning.svg"},
    {"exclamationmark.circle.fill", "dialog-error-symbolic", "error.svg"},
    {"exclamationmark.icloud", "network-error-symbolic", "cloud-error.svg"},
    {"xmark", "window-close-symbolic", "close.svg"},
    {"antenna.radiowaves.left.and.right", "network-wireless-symbolic", "antenna.svg"},
    {"iphone.slash", "computer-fail-symbolic", "device-none.svg"},
    {"link", "insert-link-symbolic", "link.svg"},
    {"applelogo", "computer-symbolic", "computer.svg"},
    {"star.fill", "starred-symbolic", "star-fill.svg"},
    {"star", "non-starred-symbolic", "star.svg"},
    {"star.slash", "", "star-slash.svg"},
    {"trash", "user-trash-symbolic", "trash.svg"},
    {"arrow.down", "go-down-symbolic", "arrow-down.svg"},
    {"arrow.right", "go-next-symbolic", "arrow-right.svg"},
    {"clock.arrow.trianglehead.counterclockwise.rotate.90", "document-open-recent-symbolic",
     "clock-queued.svg"},
    {"questionmark.circle", "help-about-symbolic", "help.svg"},
    {"iphone", "phone-symbolic", "phone.svg"},
    {"laptopcomputer", "computer-laptop-symbolic", "laptop.svg"},
    {"lightbulb", "dialog-information-symbolic", "lightbulb.svg"},
    {"envelope", "mail-unread-symbolic", "envelope.svg"},
    {"music.note", "audio-x-generic-symbolic", "music-note.svg"},
    {"arrow.right.circle.fill", "go-next-symbolic", "arrow-right-circle.svg"},
    {"arrow.down.circle.fill", "go-down-symbolic", "arrow-down-circle.svg"},
    {"icloud.fill", "weather-overcast-symbolic", "cloud.svg"},
    {"dot.radiowaves.left.and.right", "network-wireless-symbolic", "radiowaves.svg"},
    {"person.crop.circle", "avatar-default-symbolic", "account.svg"},
    {"laptopcomputer.badge.plus", "list-add-symbolic", "add-computer.svg"},
    {"rectangle.portrait.and.arrow.right", "system-log-out-symbolic", "sign-out.svg"},
    {"doc.on.doc", "edit-copy-symbolic", "copy.svg"},
    {"server.rack", "network-server-symbolic", "server.svg"},
    {"checkmark", "object-select-symbolic", "checkmark.svg"},
    {"lock.shield", "security-high-symbolic", "lock-shield.svg"},
    // Our own: theme spinners are often sprite sheets, which a rotation would garble.
    {"progress.spinner", "", "spinner.svg"},
};

} // namespace

std::optional<SymbolIcon> lookUp(const QString& symbol) {
    for (const SymbolIcon& icon : kIcons) {
        if (symbol == QLatin1String(icon.symbol))
            return icon;
    }
    return std::nullopt;
}

const SymbolIcon* begin() {
    return std::begin(kIcons);
}
const SymbolIcon* end() {
    return std::end(kIcons);
}

} // namespace sonavert::symbol_icons
