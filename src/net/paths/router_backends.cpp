// The two ways of asking a home router for a port: UPnP IGD (libminiupnpc) and NAT-PMP
// (libnatpmp). Both block; the port mapper calls them from worker threads.

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "net/paths/port_mapper.h"

namespace orvel::net {

using namespace std::chrono;

namespace {

constexpr const char* kDescription = "Orvel";
// UPnP error codes that ask for another external port or for a permanent lease.
constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeases = 725;
// External ports tried after the session port itself, when another machine holds it.
constexpr int kPortAlternatives = 8;

// Whether the kernel has a route to the SSDP multicast group. Connecting a UDP socket only looks
// the route up; nothing is sent. libminiupnpc reports its socket failures with perror(), so
// without this look a machine with no network would get "sendto: Network is unreachable" on
// stderr at every try; the port mapper's log says it instead.
bool routeToRouters() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return true;  // nothing learnt: the library may try
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(1900);
    inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
    const bool routed = ::connect(s, reinterpret_cast<const sockaddr*>(&group), sizeof group) == 0;
    ::close(s);
    return routed;
}

class UpnpBackend : public PortMapBackend {
public:
    MappingProtocol protocol() const override { return MappingProtocol::Upnp; }

    MapAnswer add(uint16_t port, seconds lease, milliseconds budget) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!routeToRouters()) {
            return {std::nullopt, QStringLiteral("no network to look for a UPnP router on")};
        }
        // The search asks for up to four kinds of device in turn, each waiting this long; the
        // questions to a router once found are quick.
        const int delay =
            static_cast<int>(std::clamp<milliseconds::rep>(budget.count() / 5, 200, 1000));
        int error = 0;
        UPNPDev* devices = upnpDiscover(delay, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (devices == nullptr) {
            return {std::nullopt, QStringLiteral("no UPnP router answered")};
        }
        UPNPUrls urls{};
        IGDdatas data{};
        char lan[64] = {};
        const int found = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan);
        freeUPNPDevlist(devices);
        struct Free {
            UPNPUrls* u;
            int found;
            ~Free() {
                if (found != 0) {
                    FreeUPNPUrls(u);
                }
            }
        } free{&urls, found};
        if (found != 1) {
            return {std::nullopt, found == 2 ? QStringLiteral("the UPnP router is not connected")
                                             : QStringLiteral("no UPnP internet gateway found")};
        }
        char external[40] = {};
        if (UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external) != 0 ||
            external[0] == '\0') {
            return {std::nullopt, QStringLiteral("the UPnP router gave no external address")};
        }
        const QByteArray inPort = QByteArray::number(port);
        QByteArray leaseText = QByteArray::number(static_cast<qlonglong>(lease.count()));
        int result = 0;
        for (int i = 0; i <= kPortAlternatives && port + i <= 65535; ++i) {
            const QByteArray extPort = QByteArray::number(port + i);
            result = UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, extPort, inPort,
                                         lan, kDescription, "UDP", nullptr, leaseText);
            if (result == kOnlyPermanentLeases && leaseText != "0") {
                leaseText = "0";
                --i;
                continue;
            }
            if (result == kConflictInMappingEntry) {
                continue;
            }
            if (result != 0) {
                break;
            }
            controlUrl_ = urls.controlURL;
            serviceType_ = data.first.servicetype;
            Mapping m;
            m.protocol = MappingProtocol::Upnp;
            m.externalAddress = QString::fromLatin1(external);
            m.externalPort = static_cast<uint16_t>(port + i);
            m.internalPort = port;
            m.lease = seconds(leaseText.toLongLong());
            return {m, {}};
        }
        return {std::nullopt, QStringLiteral("the UPnP router refused the port (%1 %2)")
                                  .arg(result)
                                  .arg(QString::fromLatin1(strupnperror(result)))};
    }

    bool remove(const Mapping& m, milliseconds) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (controlUrl_.isEmpty()) {
            return false;
        }
        return UPNP_DeletePortMapping(controlUrl_, serviceType_, QByteArray::number(m.externalPort),
                                      "UDP", nullptr) == 0;
    }

private:
    std::mutex lock_;
    QByteArray controlUrl_, serviceType_;
};

class NatPmpBackend : public PortMapBackend {
public:
    MappingProtocol protocol() const override { return MappingProtocol::NatPmp; }

    MapAnswer add(uint16_t port, seconds lease, milliseconds budget) override {
        std::lock_guard<std::mutex> guard(lock_);
        Session s(budget);
        if (s.error < 0) {
            return {std::nullopt, QString::fromLatin1(strnatpmperr(s.error))};
        }
        natpmpresp_t address{};
        int r = sendpublicaddressrequest(&s.n);
        if (r >= 0) {
            r = s.exchange(address);
        }
        if (r < 0) {
            return {std::nullopt, s.why(r)};
        }
        natpmpresp_t mapped{};
        r = sendnewportmappingrequest(&s.n, NATPMP_PROTOCOL_UDP, port, port,
                                      static_cast<uint32_t>(lease.count()));
        if (r >= 0) {
            r = s.exchange(mapped);
        }
        if (r < 0) {
            return {std::nullopt, s.why(r)};
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address.pnu.publicaddress.addr, text, sizeof text);
        Mapping m;
        m.protocol = MappingProtocol::NatPmp;
        m.externalAddress = QString::fromLatin1(text);
        m.externalPort = mapped.pnu.newportmapping.mappedpublicport;
        m.internalPort = port;
        m.lease = seconds(mapped.pnu.newportmapping.lifetime);
        return {m, {}};
    }

    bool remove(const Mapping& m, milliseconds budget) override {
        std::lock_guard<std::mutex> guard(lock_);
        Session s(budget);
        if (s.error < 0) {
            return false;
        }
        // A lifetime of 0 (and no public port) takes the mapping away.
        natpmpresp_t answer{};
        return sendnewportmappingrequest(&s.n, NATPMP_PROTOCOL_UDP, m.internalPort, 0, 0) >= 0 &&
               s.exchange(answer) >= 0;
    }

private:
    // One exchange with the default gateway, given up at the deadline.
    struct Session {
        explicit Session(milliseconds budget) : deadline(steady_clock::now() + budget) {
            error = initnatpmp(&n, 0, 0);
        }
        ~Session() {
            if (error >= 0) {
                closenatpmp(&n);
            }
        }
        int exchange(natpmpresp_t& response) {
            for (;;) {
                const auto left = duration_cast<microseconds>(deadline - steady_clock::now());
                if (left.count() <= 0) {
                    timedOut = true;
                    return NATPMP_ERR_NOGATEWAYSUPPORT;
                }
                timeval tv{};
                getnatpmprequesttimeout(&n, &tv);
                const auto wait = std::min<long long>(
                    left.count(), static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec);
                tv.tv_sec = static_cast<time_t>(wait / 1000000);
                tv.tv_usec = static_cast<suseconds_t>(wait % 1000000);
                fd_set fds;
                FD_ZERO(&fds);
                FD_SET(n.s, &fds);
                select(n.s + 1, &fds, nullptr, nullptr, &tv);
                const int r = readnatpmpresponseorretry(&n, &response);
                if (r != NATPMP_TRYAGAIN) {
                    return r;
                }
            }
        }
        QString why(int r) const {
            return timedOut ? QStringLiteral("no NAT-PMP router answered")
                            : QString::fromLatin1(strnatpmperr(r));
        }
        natpmp_t n{};
        int error = 0;
        bool timedOut = false;
        steady_clock::time_point deadline;
    };

    std::mutex lock_;
};

}  // namespace

std::shared_ptr<PortMapBackend> makeUpnpBackend() {
    return std::make_shared<UpnpBackend>();
}

std::shared_ptr<PortMapBackend> makeNatPmpBackend() {
    return std::make_shared<NatPmpBackend>();
}

}  // namespace orvel::net
