#include "src/account/pairing_link_inbox.h"

namespace sonavert {

bool PairingLinkInbox::Open(const QString& link) {
    auto content = parsePairingLink(QUrl(link));
    if (!content)
        return false;
    m_pending = std::move(content);
    Q_EMIT pendingPairingLinkChanged();
    return true;
}

void PairingLinkInbox::clear() {
    if (!m_pending)
        return;
    m_pending.reset();
    Q_EMIT pendingPairingLinkChanged();
}

} // namespace sonavert
