#include "bench/cloud_load/load_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonavert::bench {

int connectLoopback(std::uint16_t port, int source) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl((127U << 24) | static_cast<std::uint32_t>(source));
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) < 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeSome(int fd, const std::string& data, std::size_t& offset) {
    while (offset < data.size()) {
        const ssize_t written =
            ::send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
        if (written < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        offset += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace sonavert::bench
