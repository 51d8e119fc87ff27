// The meeting point under load on loopback, beside a bare UDP forwarder measured in the same run.
//
//   meet_bench [--hosts N] [--pairs P] [--seconds S] [--smoke]   (--smoke: 200, 10, 1 s)
//
// Simulated hosts and joiners each have an address of their own in 127.0.0.0/8 (hosts
// 127.1.x.y, joiners 127.2.x.y), all on one socket of this program: IP_PKTINFO picks the source
// of each datagram sent and tells which address an answer came to. orvel-meet and the forwarder
// run as child processes; their CPU time comes from the scheduler's own accounting, so that
// "per second at 100 % of one core" is operations per CPU second of the server.
//
// - registrations: N new hosts, each a cookie round trip then Register -> Registered (+ probes);
// - lookups: N new joiners, each a cookie round trip then Lookup -> Found (+ PeerArrived);
// - memory: the server's resident memory grown per registered session;
// - relay: P pairs, 20 datagrams of 160 bytes a second each way, through the meeting point's
//   relay, through the forwarder, and straight between the two sides, for S seconds each.
// The forwarder: a blocking recvfrom/sendto loop that sends 127.1.a.b's datagrams to 127.2.a.b
// and back.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "net/paths/meet_protocol.h"
#include "process_cpu.h"
#include "smoke.h"
#include "udp_ports.h"

namespace {

using namespace orvel::meet;

// A block of twelve free ports: orvel-meet's ten (probes from +1, relays +2 to +9), the
// forwarder's and this program's.
uint16_t meetPort = 0;
uint16_t forwarderPort() {
    return static_cast<uint16_t>(meetPort + 10);
}
uint16_t benchPort() {
    return static_cast<uint16_t>(meetPort + 11);
}
constexpr uint32_t kHosts = 0x7F010000, kJoiners = 0x7F020000;
constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kWindow = 256;
constexpr size_t kPayload = 160;

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

uint32_t hostIp(size_t i) {
    return kHosts + static_cast<uint32_t>(i) + 1;
}
uint32_t joinerIp(size_t i) {
    return kJoiners + static_cast<uint32_t>(i) + 1;
}

sockaddr_in address(Endpoint e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.ip);
    a.sin_port = htons(e.port);
    return a;
}

// The forwarder child: the least a program can do to pass datagrams between two addresses.
int forwarder() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in at = address({kLoopback, forwarderPort()});
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        return 1;
    }
    const int room = 1 << 20;  // as much as orvel-meet asks for
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    char buffer[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n > 0) {
            from.sin_addr.s_addr ^= htonl(0x00030000);  // 127.1.a.b <-> 127.2.a.b
            ::sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                     size);
        }
    }
}

// Every simulated address on one socket.
class Net {
public:
    using Handler = std::function<void(uint32_t to, Endpoint from, const uint8_t*, size_t)>;

    bool open() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const int on = 1, buffer = 8 << 20;
        ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        // Every address, so that answers to any 127.x.y.z reach it; it only ever sends to
        // loopback.
        const sockaddr_in at = address({0, benchPort()});
        return fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
    }
    void send(uint32_t fromIp, Endpoint to, const char* data, size_t size) {
        sockaddr_in dest = address(to);
        iovec part{const_cast<char*>(data), size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr h = header(dest, part, control, sizeof control);
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(fromIp);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        while (::sendmsg(fd_, &h, 0) < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    void send(uint32_t fromIp, Endpoint to, const QByteArray& d) {
        send(fromIp, to, d.constData(), static_cast<size_t>(d.size()));
    }
    // Hands over what arrives until timeoutMs passes with nothing; the count handed over.
    int receive(const Handler& handle, int timeoutMs) {
        int count = 0;
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, timeoutMs) > 0) {
            for (;;) {
                uint8_t buffer[2048];
                sockaddr_in from{};
                iovec part{buffer, sizeof buffer};
                alignas(cmsghdr) char control[256];
                msghdr h = header(from, part, control, sizeof control);
                const ssize_t n = ::recvmsg(fd_, &h, 0);
                if (n < 0) {
                    break;
                }
                uint32_t to = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        in_pktinfo info;
                        std::memcpy(&info, CMSG_DATA(c), sizeof info);
                        to = ntohl(info.ipi_addr.s_addr);
                    }
                }
                handle(to, {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}, buffer,
                       static_cast<size_t>(n));
                ++count;
            }
            timeoutMs = std::min(timeoutMs, 5);
        }
        return count;
    }

private:
    static msghdr header(sockaddr_in& peer, iovec& part, char* control, size_t controlSize) {
        msghdr h{};
        h.msg_name = &peer;
        h.msg_namelen = sizeof peer;
        h.msg_iov = &part;
        h.msg_iovlen = 1;
        h.msg_control = control;
        h.msg_controllen = controlSize;
        return h;
    }

    int fd_ = -1;
};

// n exchanges, at most kWindow in flight: request(i) sends the i-th, answered(to, message)
// names the exchange an answer completes (or nothing). Unanswered ones go again after 300 ms.
// Whether all n completed within a minute.
bool exchanges(Net& net, size_t n, const std::function<void(size_t)>& request,
               const std::function<std::optional<size_t>(uint32_t, const Message&)>& answered) {
    std::vector<int64_t> sentAt(n, 0);
    std::vector<bool> done(n, false);
    size_t next = 0, finished = 0, inFlight = 0;
    const int64_t deadline = nowNs() + 60'000'000'000;
    while (finished < n && nowNs() < deadline) {
        for (; next < n && inFlight < kWindow; ++next, ++inFlight) {
            request(next);
            sentAt[next] = nowNs();
        }
        const int got = net.receive(
            [&](uint32_t to, Endpoint, const uint8_t* data, size_t size) {
                const auto m = decode(data, size);
                const auto i = m ? answered(to, *m) : std::nullopt;
                if (i && *i < n && !done[*i]) {
                    done[*i] = true;
                    ++finished;
                    --inFlight;
                }
            },
            2);
        if (got == 0) {
            for (size_t i = 0; i < next; ++i) {
                if (!done[i] && nowNs() - sentAt[i] > 300'000'000) {
                    request(i);
                    sentAt[i] = nowNs();
                }
            }
        }
    }
    return finished == n;
}

struct Child {
    QProcess process;
    double cpu() const { return orvel::bench::cpuSeconds(process.processId()).value_or(0); }
    double rssKiB() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly)) {
            return 0;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                return line.mid(6).trimmed().split(' ').value(0).toDouble();
            }
        }
        return 0;
    }
};

struct Traffic {
    double cpu = 0;
    size_t received = 0;
    double p50 = 0, p99 = 0;
};

// Every pair's two sides send a stamped 160-byte datagram every 50 ms for `seconds`; target(i,
// side) is where side 0 (the host) or 1 (the joiner) of pair i sends.
Traffic traffic(Net& net, size_t pairs, double seconds, const Child* measured,
                const std::function<Endpoint(size_t, int)>& target) {
    std::vector<double> latencies;
    const auto collect = [&](uint32_t, Endpoint, const uint8_t* data, size_t size) {
        int64_t sent = 0;
        if (size == kPayload && data[0] == 'B') {
            std::memcpy(&sent, data + 1, sizeof sent);
            latencies.push_back((nowNs() - sent) / 1e6);
        }
    };
    const double cpuBefore = measured != nullptr ? measured->cpu() : 0;
    const int64_t end = nowNs() + static_cast<int64_t>(seconds * 1e9);
    char payload[kPayload] = {'B'};
    for (int64_t tick = nowNs(); tick < end; tick += 50'000'000) {
        for (size_t i = 0; i < pairs; ++i) {
            for (int side = 0; side < 2; ++side) {
                const int64_t t = nowNs();
                std::memcpy(payload + 1, &t, sizeof t);
                net.send(side == 0 ? hostIp(i) : joinerIp(i), target(i, side), payload, kPayload);
            }
        }
        const int64_t wait = tick + 50'000'000 - nowNs();
        if (wait > 0) {
            net.receive(collect, static_cast<int>(wait / 1'000'000));
        }
    }
    net.receive(collect, 200);
    Traffic t;
    t.cpu = measured != nullptr ? measured->cpu() - cpuBefore : 0;
    t.received = latencies.size();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        t.p50 = latencies[latencies.size() / 2];
        t.p99 = latencies[latencies.size() * 99 / 100];
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--forwarder") == 0) {
        meetPort = static_cast<uint16_t>(std::atoi(argv[2]));
        return forwarder();
    }
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    size_t hosts = smoke ? 200 : 20000, pairs = smoke ? 10 : 200;
    double seconds = smoke ? 1 : 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        const double v = std::atof(argv[i + 1]);
        if (option == "--hosts") {
            hosts = static_cast<size_t>(std::clamp(v, 1.0, 60000.0));
        } else if (option == "--pairs") {
            pairs = static_cast<size_t>(std::clamp(v, 1.0, 60000.0));
        } else if (option == "--seconds") {
            seconds = std::max(1.0, v);
        }
    }
    pairs = std::min(pairs, hosts);

    meetPort = orvel::bench::freeUdpPorts(12);
    Child meet, forward;
    meet.process.setProgram(QStringLiteral(MEET_PROGRAM));
    meet.process.setArguments({QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                               QStringLiteral("--port"), QString::number(meetPort),
                               QStringLiteral("--max-relays"), QString::number(pairs * 2)});
    forward.process.setProgram(QCoreApplication::applicationFilePath());
    forward.process.setArguments({QStringLiteral("--forwarder"), QString::number(meetPort)});
    for (Child* c : {&meet, &forward}) {
        c->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        c->process.start();
        if (!c->process.waitForStarted(5000)) {
            std::fprintf(stderr, "meet_bench: cannot start %s\n", qPrintable(c->process.program()));
            return 1;
        }
    }
    if (meetPort == 0 || !meet.process.waitForReadyRead(5000)) {
        std::fprintf(stderr, "meet_bench: orvel-meet is not listening\n");
        return 1;
    }
    Net net;
    if (!net.open()) {
        std::fprintf(stderr, "meet_bench: cannot open UDP port %u\n", benchPort());
        return 1;
    }
    const Endpoint server{kLoopback, meetPort};
    std::vector<uint64_t> hostCookie(hosts), joinerCookie(hosts), hostToken(pairs),
        joinerToken(pairs);
    std::vector<Code> codes(hosts);
    std::vector<uint16_t> relayPort(pairs);
    const auto index = [](uint32_t ip, uint32_t base) -> std::optional<size_t> {
        return (ip & 0xFFFF0000) == base ? std::optional<size_t>((ip & 0xFFFF) - 1) : std::nullopt;
    };
    // Every round of exchanges completed, and traffic came back through every path.
    bool complete = true;
    const auto cookies = [&](uint32_t base, std::vector<uint64_t>& into) {
        complete &= exchanges(
            net, hosts,
            [&](size_t i) {
                net.send(base + uint32_t(i) + 1, server, encode(Lookup{0, Code{}}));
            },
            [&](uint32_t to, const Message& m) -> std::optional<size_t> {
                const auto i = index(to, base);
                if (i && *i < hosts && std::holds_alternative<Retry>(m)) {
                    into[*i] = std::get<Retry>(m).cookie;
                    return i;
                }
                return std::nullopt;
            });
    };

    // Registrations and the memory they take.
    const double rssBefore = meet.rssKiB(), cpuRegister = meet.cpu();
    cookies(kHosts, hostCookie);
    complete &= exchanges(
        net, hosts,
        [&](size_t i) {
            net.send(hostIp(i), server,
                     encode(Register{hostCookie[i],
                                     i,
                                     QStringLiteral("Evening race %1").arg(i),
                                     {{0xC0A80114, 2302}}}));
        },
        [&](uint32_t to, const Message& m) -> std::optional<size_t> {
            const auto i = index(to, kHosts);
            const auto* r = std::get_if<Registered>(&m);
            if (i && r != nullptr && r->nonce == *i) {
                codes[*i] = r->code;
                return i;
            }
            return std::nullopt;
        });
    const double registerCpu = meet.cpu() - cpuRegister;
    const double perSession = (meet.rssKiB() - rssBefore) * 1024 / hosts;

    // Lookups, each joiner of the host with its number.
    const double cpuLookup = meet.cpu();
    cookies(kJoiners, joinerCookie);
    complete &= exchanges(
        net, hosts,
        [&](size_t i) {
            net.send(joinerIp(i), server, encode(Lookup{joinerCookie[i], codes[i]}));
        },
        [&](uint32_t to, const Message& m) -> std::optional<size_t> {
            const auto i = index(to, kJoiners);
            return i && std::holds_alternative<Found>(m) ? i : std::nullopt;
        });
    const double lookupCpu = meet.cpu() - cpuLookup;

    // Relays: asked by each joiner, opened by both sides.
    complete &= exchanges(
        net, pairs,
        [&](size_t i) {
            net.send(joinerIp(i), server,
                     encode(RelayAsk{joinerCookie[i], codes[i], {hostIp(i), benchPort()}}));
        },
        [&](uint32_t to, const Message& m) -> std::optional<size_t> {
            const auto* r = std::get_if<RelayReady>(&m);
            const auto h = index(to, kHosts), j = index(to, kJoiners);
            if (r != nullptr && (h || j) && *(h ? h : j) < pairs) {
                relayPort[*(h ? h : j)] = r->relay.port;
                (h ? hostToken : joinerToken)[*(h ? h : j)] = r->token;
            }
            return r != nullptr && j ? j : std::nullopt;
        });
    for (const bool host : {true, false, true}) {
        complete &= exchanges(
            net, pairs,
            [&](size_t i) {
                net.send(host ? hostIp(i) : joinerIp(i), {kLoopback, relayPort[i]},
                         encode(RelayOpen{host ? hostCookie[i] : joinerCookie[i],
                                          host ? hostToken[i] : joinerToken[i]}));
            },
            [&](uint32_t to, const Message& m) -> std::optional<size_t> {
                return std::holds_alternative<RelayState>(m) ? index(to, host ? kHosts : kJoiners)
                                                             : std::nullopt;
            });
    }
    const Traffic relayed = traffic(net, pairs, seconds, &meet, [&](size_t i, int) {
        return Endpoint{kLoopback, relayPort[i]};
    });
    const Traffic forwarded = traffic(net, pairs, seconds, &forward, [](size_t, int) {
        return Endpoint{kLoopback, forwarderPort()};
    });
    const Traffic direct = traffic(net, pairs, seconds, nullptr, [](size_t i, int side) {
        return Endpoint{side == 0 ? joinerIp(i) : hostIp(i), benchPort()};
    });

    // The forwarder's own rate: as many datagrams as registrations and lookups took.
    net.receive([](uint32_t, Endpoint, const uint8_t*, size_t) {}, 500);  // the last stragglers
    const size_t blast = hosts * 4;
    const double cpuBlast = forward.cpu();
    size_t came = 0;
    const QByteArray small(encode(Lookup{}).size(), 'x');
    const auto count = [&came](uint32_t, Endpoint from, const uint8_t*, size_t) {
        came += from.port == forwarderPort() ? 1 : 0;
    };
    for (size_t sent = 0; sent < blast; sent += kWindow) {
        for (size_t i = 0; i < kWindow; ++i) {
            net.send(hostIp((sent + i) % hosts), {kLoopback, forwarderPort()}, small);
        }
        net.receive(count, 2);
    }
    net.receive(count, 200);
    const double blastCpu = forward.cpu() - cpuBlast;

    const double total = pairs * seconds * 2 * 20;
    std::printf("meet_bench: %zu hosts, %zu joiners, %zu relayed pairs, %.0f s of traffic each\n",
                hosts, hosts, pairs, seconds);
    std::printf("registrations: %.0f per second at 100 %% of one core (%.2f CPU s)\n",
                hosts / registerCpu, registerCpu);
    std::printf("lookups:       %.0f per second at 100 %% of one core (%.2f CPU s)\n",
                hosts / lookupCpu, lookupCpu);
    std::printf(
        "forwarder:     %.0f datagrams per second at 100 %% of one core (%zu of %zu back)\n",
        came / std::max(blastCpu, 1e-9), came, blast);
    std::printf("memory:        %.0f bytes per registered session\n", perSession);
    std::printf(
        "relay CPU per pair (20 x 160 B/s each way): meet %.4f %% of a core, forwarder "
        "%.4f %% (%.2fx)\n",
        100 * relayed.cpu / seconds / pairs, 100 * forwarded.cpu / seconds / pairs,
        relayed.cpu / std::max(forwarded.cpu, 1e-9));
    std::printf(
        "latency p50/p99: direct %.3f/%.3f ms, forwarder %.3f/%.3f ms, meet relay "
        "%.3f/%.3f ms; added by the relay %.3f ms, by the forwarder %.3f ms\n",
        direct.p50, direct.p99, forwarded.p50, forwarded.p99, relayed.p50, relayed.p99,
        relayed.p50 - direct.p50, forwarded.p50 - direct.p50);
    std::printf("delivered: meet relay %.1f %%, forwarder %.1f %%, direct %.1f %%\n",
                100 * relayed.received / total, 100 * forwarded.received / total,
                100 * direct.received / total);
    for (Child* c : {&meet, &forward}) {
        c->process.terminate();
        if (!c->process.waitForFinished(3000)) {
            c->process.kill();
            c->process.waitForFinished(3000);
        }
    }
    complete = complete && relayed.received > 0 && forwarded.received > 0 && direct.received > 0;
    if (!complete) {
        std::fprintf(stderr, "meet_bench: exchanges went unanswered or no traffic came back\n");
    }
    return complete ? 0 : 1;
}
