#include "net/paths/nat_paths.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace dx8 {

namespace {

bool isLoopback(uint32_t ip) {
    return (ip >> 24) == 127;
}

}  // namespace

QString pathName(PathKind kind) {
    switch (kind) {
        case PathKind::Direct:
            return QStringLiteral("direct");
        case PathKind::Punched:
            return QStringLiteral("punched");
        case PathKind::Relayed:
            return QStringLiteral("relayed");
        case PathKind::MeetRelayed:
            return QStringLiteral("meet-relayed");
    }
    return {};
}

Endpoint mappedAt(Endpoint said, uint32_t seenIp, uint32_t ourRouterIp) {
    const bool theirs = said.ipv4 == seenIp || said.ipv4 == ourRouterIp;
    return said.ipv4 != 0 && theirs ? said : Endpoint{};
}

std::vector<Endpoint> candidatesFor(const net::PlayerEntry& entry, uint32_t hostIp,
                                    uint32_t ourIp) {
    std::vector<Endpoint> out;
    const auto add = [&out, hostIp](uint32_t ip, uint16_t port, bool fallBackToHost) {
        if (ip == 0 || (isLoopback(ip) && !isLoopback(hostIp))) {
            if (!fallBackToHost) {
                return;
            }
            ip = hostIp;
        }
        if (ip == 0 || port == 0) {
            return;
        }
        const bool seen = std::any_of(out.begin(), out.end(), [ip, port](const Endpoint& e) {
            return e.ipv4 == ip && e.port == port;
        });
        if (!seen) {
            out.push_back({ip, port});
        }
    };
    add(entry.ipv4, entry.port, true);
    if (entry.ipv4 == ourIp) {
        add(entry.lanIpv4, entry.lanPort, false);
    }
    // Behind the host's router, a player's mapping is at the address we reached the host at.
    const Endpoint mapped = mappedAt({entry.mappedIpv4, entry.mappedPort}, entry.ipv4, hostIp);
    add(mapped.ipv4, mapped.port, false);
    return out;
}

PathKind pathTo(const net::PlayerEntry& e, Endpoint at) {
    if (at.ipv4 == e.mappedIpv4 && at.port == e.mappedPort) {
        return PathKind::Direct;
    }
    const bool behindRouter = e.lanIpv4 != 0 && (e.lanIpv4 != e.ipv4 || e.lanPort != e.port);
    const bool atRouter = at.ipv4 == e.ipv4 && at.port == e.port;
    return behindRouter && atRouter ? PathKind::Punched : PathKind::Direct;
}

uint32_t localAddressToward(uint32_t ip) {
    if (ip == 0) {
        return 0;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip);
    to.sin_port = htons(9);
    uint32_t local = 0;
    // Connecting a UDP socket sends nothing; it only picks the route and the source address.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        sockaddr_in self{};
        socklen_t size = sizeof self;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &size) == 0) {
            local = ntohl(self.sin_addr.s_addr);
        }
    }
    ::close(fd);
    return local;
}

net::PlayerEntry entryOf(const Player& p, Endpoint observed) {
    net::PlayerEntry e;
    e.id = p.id;
    e.seq = p.seq;
    e.name = p.name;
    e.ipv4 = observed.ipv4;
    e.port = observed.port;
    e.lanIpv4 = p.lan.ipv4;
    e.lanPort = p.lan.port;
    e.mappedIpv4 = p.mapped.ipv4;
    e.mappedPort = p.mapped.port;
    return e;
}

}  // namespace dx8
