#pragma once
// Ports for benchmarks that listen on fixed UDP ports of their own: a block free right now, so
// that a run beside a test or another run does not fail on a port in use.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cstdint>

namespace orvel::bench {

// The first of `count` consecutive UDP ports of 127.0.0.1 that are all free, from a random block
// of 20000-29999 (below the ephemeral ports, which the system hands out by itself); 0 when 20
// tries found none.
inline uint16_t freeUdpPorts(int count) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto first = static_cast<uint16_t>(
            20000 + QRandomGenerator::global()->bounded(10000 / count - 1) * count);
        bool free = true;
        for (int i = 0; i < count && free; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            at.sin_port = htons(static_cast<uint16_t>(first + i));
            free = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (free) {
            return first;
        }
    }
    return 0;
}

}  // namespace orvel::bench
