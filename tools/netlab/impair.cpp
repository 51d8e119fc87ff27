// impair: a user-space Ethernet bridge that makes links bad on purpose. It runs in the middle
// namespace of a lab, reads every frame from the veth ends it is given (AF_PACKET), and forwards
// each one to the link its destination was learnt on (or floods it), after the impairments of
// both links it crosses: delay with jitter, loss, duplication, reordering and outages. The
// settings change at run time through a control socket, so a test can start and end an outage.
//
//   impair --link p1 --link p2 ... --control PATH [--seed N] [--max-seconds S]
//   impair --ctl PATH COMMAND...        (sends one command, prints the reply)
//
// Commands (one line, reply "ok ..." or "error ..."):
//   set LINK|all [delay=MS] [jitter=MS] [loss=PCT] [dup=PCT] [reorder=PCT]
//   outage LINK|all START_MS LENGTH_MS     dark from START_MS from now, for LENGTH_MS (0 0 ends it)
//   stats                                   counters of every link
//   reset                                   counters back to zero
//   quit
//
// Each link's figures apply to every frame crossing it, in both directions, so a frame from p1
// to p2 is delayed by p1's delay plus p2's, and a round trip between them by twice that. Frames
// keep their order on each outgoing link unless picked for reordering; those are held back
// behind the frames that follow them. Checksums of IPv4 UDP and TCP are recomputed on the way
// through: a veth sender may leave them to an offload that never happens on this path.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Nanos = int64_t;
constexpr Nanos kMs = 1'000'000;
constexpr size_t kMaxFrame = 65536;
// A frame picked for reordering arrives after those sent up to this much later than it.
constexpr Nanos kReorderHoldBack = 25 * kMs;
constexpr Nanos kDuplicateGap = 1 * kMs;

Nanos now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

struct Impairment {
    double delayMs = 0, jitterMs = 0, lossPct = 0, dupPct = 0, reorderPct = 0;
};

struct Counters {
    uint64_t received = 0, sent = 0, lost = 0, duplicated = 0, reordered = 0, dark = 0, errors = 0;
};

struct Link {
    std::string name;
    int fd = -1;
    Impairment impairment;
    Nanos outageFrom = 0, outageUntil = 0;
    Nanos lastDue = 0;  // of the last in-order frame out of this link
    Counters counters;

    bool darkAt(Nanos t) const { return t >= outageFrom && t < outageUntil; }
};

struct Pending {
    Nanos due;
    uint64_t order;
    size_t link;
    std::vector<uint8_t> frame;
    bool operator>(const Pending& o) const { return due != o.due ? due > o.due : order > o.order; }
};

uint16_t fold(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

uint32_t addBytes(uint32_t sum, const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    }
    if (n & 1) {
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    }
    return fold(sum);
}

// Recomputes the UDP or TCP checksum of an unfragmented IPv4 frame; other frames pass as they are.
void fixChecksum(std::vector<uint8_t>& f) {
    if (f.size() < 14 + 20 || f[12] != 0x08 || f[13] != 0x00) {
        return;
    }
    uint8_t* ip = f.data() + 14;
    const size_t ihl = (ip[0] & 0x0F) * 4u;
    const size_t total = static_cast<size_t>(ip[2] << 8 | ip[3]);
    const bool fragment = ((ip[6] & 0x3F) | ip[7]) != 0;  // MF set or an offset
    if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || 14 + total > f.size() || fragment) {
        return;
    }
    const uint8_t proto = ip[9];
    const size_t l4len = total - ihl;
    uint8_t* l4 = ip + ihl;
    size_t at;
    if (proto == 17 && l4len >= 8) {
        at = 6;
    } else if (proto == 6 && l4len >= 20) {
        at = 16;
    } else {
        return;
    }
    l4[at] = l4[at + 1] = 0;
    uint32_t sum = addBytes(0, ip + 12, 8);  // source and destination
    sum += proto;
    sum += static_cast<uint32_t>(l4len);
    sum = addBytes(fold(sum), l4, l4len);
    uint16_t c = static_cast<uint16_t>(~fold(sum));
    if (proto == 17 && c == 0) {
        c = 0xFFFF;
    }
    l4[at] = static_cast<uint8_t>(c >> 8);
    l4[at + 1] = static_cast<uint8_t>(c & 0xFF);
}

class Bridge {
public:
    Bridge(std::vector<Link> links, uint32_t seed) : links_(std::move(links)), random_(seed) {}

    void onFrame(size_t from, const uint8_t* data, size_t size, Nanos t) {
        Link& in = links_[from];
        ++in.counters.received;
        if (size < 14) {
            return;
        }
        if (in.darkAt(t)) {
            ++in.counters.dark;
            return;
        }
        if (chance(in.impairment.lossPct)) {
            ++in.counters.lost;
            return;
        }
        std::string src(reinterpret_cast<const char*>(data + 6), 6);
        std::string dst(reinterpret_cast<const char*>(data), 6);
        if ((data[6] & 1) == 0) {
            learnt_[src] = from;
        }
        const auto known = learnt_.find(dst);
        for (size_t to = 0; to < links_.size(); ++to) {
            if (to == from || ((data[0] & 1) == 0 && known != learnt_.end() && known->second != to)) {
                continue;
            }
            Link& out = links_[to];
            if (chance(out.impairment.lossPct)) {
                ++out.counters.lost;
                continue;
            }
            Nanos due = t + delay(in.impairment) + delay(out.impairment);
            if (chance(in.impairment.reorderPct) || chance(out.impairment.reorderPct)) {
                ++out.counters.reordered;
                due += kReorderHoldBack;
            } else {
                due = std::max(due, out.lastDue);
                out.lastDue = due;
            }
            std::vector<uint8_t> frame(data, data + size);
            fixChecksum(frame);
            if (chance(in.impairment.dupPct) || chance(out.impairment.dupPct)) {
                ++out.counters.duplicated;
                queue_.push({due + kDuplicateGap, order_++, to, frame});
            }
            queue_.push({due, order_++, to, std::move(frame)});
        }
    }

    // Sends what is due; returns the time of the next frame, or -1.
    Nanos flush(Nanos t) {
        while (!queue_.empty() && queue_.top().due <= t) {
            const Pending& p = queue_.top();
            Link& out = links_[p.link];
            if (out.darkAt(t)) {
                ++out.counters.dark;
            } else if (::send(out.fd, p.frame.data(), p.frame.size(), 0) < 0) {
                ++out.counters.errors;
            } else {
                ++out.counters.sent;
            }
            queue_.pop();
        }
        return queue_.empty() ? -1 : queue_.top().due;
    }

    std::string command(const std::string& line, bool* quit) {
        std::istringstream in(line);
        std::string verb, which;
        in >> verb;
        if (verb == "quit") {
            *quit = true;
            return "ok";
        }
        if (verb == "stats") {
            std::ostringstream out;
            out << "ok";
            for (const Link& l : links_) {
                const Counters& c = l.counters;
                out << ' ' << l.name << " received=" << c.received << " sent=" << c.sent
                    << " lost=" << c.lost << " duplicated=" << c.duplicated
                    << " reordered=" << c.reordered << " dark=" << c.dark << " errors=" << c.errors
                    << ';';
            }
            return out.str();
        }
        if (verb == "reset") {
            for (Link& l : links_) {
                l.counters = {};
            }
            return "ok";
        }
        in >> which;
        std::vector<Link*> chosen;
        for (Link& l : links_) {
            if (which == "all" || which == l.name) {
                chosen.push_back(&l);
            }
        }
        if (chosen.empty()) {
            return "error no link " + which;
        }
        if (verb == "set") {
            std::string kv;
            std::vector<std::pair<std::string, double>> values;
            while (in >> kv) {
                const size_t eq = kv.find('=');
                char* end = nullptr;
                const double v = eq == std::string::npos ? NAN : std::strtod(kv.c_str() + eq + 1, &end);
                if (eq == std::string::npos || end == kv.c_str() + eq + 1 || *end != '\0' ||
                    !std::isfinite(v) || v < 0 || v > 60000) {
                    return "error bad setting " + kv;
                }
                const std::string key = kv.substr(0, eq);
                if (key != "delay" && key != "jitter" && key != "loss" && key != "dup" &&
                    key != "reorder") {
                    return "error unknown setting " + key;
                }
                if (key != "delay" && key != "jitter" && v > 100) {
                    return "error a percentage above 100: " + kv;
                }
                values.emplace_back(key, v);
            }
            for (Link* l : chosen) {
                for (const auto& kvp : values) {
                    Impairment& m = l->impairment;
                    double& field = kvp.first == "delay"    ? m.delayMs
                                    : kvp.first == "jitter" ? m.jitterMs
                                    : kvp.first == "loss"   ? m.lossPct
                                    : kvp.first == "dup"    ? m.dupPct
                                                            : m.reorderPct;
                    field = kvp.second;
                }
            }
            return "ok";
        }
        if (verb == "outage") {
            long long startMs = -1, lengthMs = -1;
            if (!(in >> startMs >> lengthMs) || startMs < 0 || lengthMs < 0 ||
                lengthMs > 3'600'000 || startMs > 3'600'000) {
                return "error usage: outage LINK START_MS LENGTH_MS";
            }
            const Nanos t = now();
            for (Link* l : chosen) {
                l->outageFrom = t + startMs * kMs;
                l->outageUntil = l->outageFrom + lengthMs * kMs;
            }
            return "ok";
        }
        return "error unknown command " + verb;
    }

    std::vector<Link>& links() { return links_; }

private:
    bool chance(double pct) {
        return pct > 0 && std::uniform_real_distribution<double>(0, 100)(random_) < pct;
    }
    Nanos delay(const Impairment& m) {
        double ms = m.delayMs;
        if (m.jitterMs > 0) {
            ms += std::uniform_real_distribution<double>(-m.jitterMs, m.jitterMs)(random_);
        }
        return ms <= 0 ? 0 : static_cast<Nanos>(ms * kMs);
    }

    std::vector<Link> links_;
    std::mt19937 random_;
    std::map<std::string, size_t> learnt_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> queue_;
    uint64_t order_ = 0;
};

int openLink(const std::string& name, std::string* why) {
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        *why = "no interface " + name;
        return -1;
    }
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        *why = std::string("packet socket: ") + std::strerror(errno);
        return -1;
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        *why = name + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const int size = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

bool unixAddress(const std::string& path, sockaddr_un* at) {
    if (path.empty() || path.size() >= sizeof at->sun_path) {
        return false;
    }
    *at = {};
    at->sun_family = AF_UNIX;
    std::memcpy(at->sun_path, path.c_str(), path.size());
    return true;
}

int control(const std::string& path, const std::string& line) {
    sockaddr_un at{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!unixAddress(path, &at) || fd < 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        std::fprintf(stderr, "impair: cannot reach %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
    }
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::string out = line + "\n";
    if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        return 2;
    }
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && reply.size() < (1 << 20)) {
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    std::fputs(reply.c_str(), stdout);
    return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

volatile sig_atomic_t stopping = 0;
void onStop(int) {
    stopping = 1;
}

struct Client {
    int fd;
    std::string buffer;
    Nanos opened;
};

int serve(std::vector<Link> links, const std::string& path, uint32_t seed, double maxSeconds) {
    sockaddr_un at{};
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (!unixAddress(path, &at) || listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, 8) != 0) {
        std::fprintf(stderr, "impair: control socket %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    signal(SIGPIPE, SIG_IGN);

    Bridge bridge(std::move(links), seed);
    std::vector<Client> clients;
    std::vector<uint8_t> frame(kMaxFrame);
    const Nanos end = now() + static_cast<Nanos>(maxSeconds * 1e9);
    bool quit = false;
    std::fprintf(stderr, "impair: bridging %zu links\n", bridge.links().size());
    while (!quit && !stopping && now() < end) {
        const Nanos next = bridge.flush(now());
        std::vector<pollfd> fds;
        for (const Link& l : bridge.links()) {
            fds.push_back({l.fd, POLLIN, 0});
        }
        fds.push_back({listener, POLLIN, 0});
        for (const Client& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        Nanos wait = 100 * kMs;
        if (next >= 0) {
            wait = std::clamp<Nanos>(next - now(), 0, wait);
        }
        const timespec ts{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
        if (::ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR) {
            std::perror("impair: poll");
            return 1;
        }
        const size_t nLinks = bridge.links().size();
        for (size_t i = 0; i < nLinks; ++i) {
            // A bounded burst per link, so one busy link cannot starve the others or the timers.
            for (int burst = 0; burst < 256 && (fds[i].revents & POLLIN); ++burst) {
                sockaddr_ll from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fds[i].fd, frame.data(), frame.size(), MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) {
                    break;
                }
                if (from.sll_pkttype == PACKET_OUTGOING) {
                    continue;  // our own sends, seen again by the socket
                }
                bridge.onFrame(i, frame.data(), static_cast<size_t>(n), now());
            }
        }
        if (fds[nLinks].revents & POLLIN) {
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c >= 0 && clients.size() < 16) {
                clients.push_back({c, {}, now()});
            } else if (c >= 0) {
                ::close(c);
            }
        }
        for (size_t k = 0; k < clients.size();) {
            Client& c = clients[k];
            char buf[1024];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.buffer.append(buf, static_cast<size_t>(n));
            }
            const size_t newline = c.buffer.find('\n');
            const bool gone = n == 0 || (n < 0 && errno != EAGAIN);
            const bool stale = now() - c.opened > 5000 * kMs || c.buffer.size() > 4096;
            if (newline != std::string::npos) {
                const std::string reply = bridge.command(c.buffer.substr(0, newline), &quit) + "\n";
                [[maybe_unused]] const ssize_t w = ::write(c.fd, reply.data(), reply.size());
            }
            if (newline != std::string::npos || gone || stale) {
                ::close(c.fd);
                clients.erase(clients.begin() + static_cast<long>(k));
            } else {
                ++k;
            }
        }
    }
    ::unlink(path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> names;
    std::string controlPath, ctl;
    uint32_t seed = 1;
    double maxSeconds = 1800;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--link" && more) {
            names.push_back(argv[++i]);
        } else if (a == "--control" && more) {
            controlPath = argv[++i];
        } else if (a == "--seed" && more) {
            seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--max-seconds" && more) {
            maxSeconds = std::strtod(argv[++i], nullptr);
        } else if (a == "--ctl" && more) {
            ctl = argv[++i];
            for (++i; i < argc; ++i) {
                words.push_back(argv[i]);
            }
        } else {
            std::fprintf(stderr,
                         "usage: impair --link IF --link IF ... --control PATH [--seed N] "
                         "[--max-seconds S]\n       impair --ctl PATH COMMAND...\n");
            return 2;
        }
    }
    if (!ctl.empty()) {
        std::string line;
        for (const std::string& w : words) {
            line += (line.empty() ? "" : " ") + w;
        }
        return control(ctl, line);
    }
    if (names.size() < 2 || controlPath.empty() || !(maxSeconds > 0)) {
        std::fprintf(stderr, "impair: give at least two --link and a --control path\n");
        return 2;
    }
    std::vector<Link> links;
    for (const std::string& name : names) {
        std::string why;
        Link l;
        l.name = name;
        l.fd = openLink(name, &why);
        if (l.fd < 0) {
            std::fprintf(stderr, "impair: %s\n", why.c_str());
            return 1;
        }
        links.push_back(std::move(l));
    }
    return serve(std::move(links), controlPath, seed, maxSeconds);
}
