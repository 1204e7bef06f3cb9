#include "src/music/player_music_stack.h"

namespace sonavert {

namespace {

LinkRouter::Parts routerParts(const PlayerMusicStack::Parts& parts) {
    return LinkRouter::Parts{parts.catalog, parts.player, parts.shortcutsRunner, parts.desktop};
}

} // namespace

PlayerMusicStack::PlayerMusicStack(Parts parts)
    : m_parts(std::move(parts))
    , m_music(m_parts.player)
    , m_catalog(m_parts.catalog, m_parts.defaults)
    , m_links(std::make_shared<LinkRouter>(routerParts(m_parts)))
    , m_installer(m_parts.locateReceiverShortcut, m_links, *m_parts.defaults, m_parts.writeLine,
                  m_parts.shortcutsTool.get())
    , m_service(MusicPlaybackService::Environment{*m_parts.clock, m_music, m_catalog, m_links,
                                                  *m_parts.shortcutsTool, m_installer,
                                                  *m_parts.defaults, m_parts.writeLine}) {}

std::shared_ptr<PlayerMusicStack> PlayerMusicStack::create(Parts parts) {
    return std::make_shared<PlayerMusicStack>(std::move(parts));
}

std::shared_ptr<MusicPlaybackService>
PlayerMusicStack::service(std::shared_ptr<PlayerMusicStack> stack) {
    MusicPlaybackService* service = &stack->m_service;
    return std::shared_ptr<MusicPlaybackService>(std::move(stack), service);
}

} // namespace sonavert
