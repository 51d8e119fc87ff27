#pragma once

// Asks the home router to forward the session's UDP port, so that players on the internet can
// reach a player behind it. Two ways to ask are tried at once, UPnP IGD and NAT-PMP; the first
// that answers wins. Routers are slow or silent, so every question runs on a worker thread and
// its answer comes back through the event loop; the window never waits on a router.

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace orvel::net {

enum class MappingProtocol { Upnp, NatPmp };

QString protocolName(MappingProtocol p);

// A port the router forwards to this machine.
struct Mapping {
    MappingProtocol protocol = MappingProtocol::Upnp;
    QString externalAddress;  // the router's public IPv4 address
    uint16_t externalPort = 0;
    uint16_t internalPort = 0;
    std::chrono::seconds lease{0};  // what the router granted; 0 = until removed

    QString publicEndpoint() const {
        return externalAddress + QLatin1Char(':') + QString::number(externalPort);
    }
};

struct MapAnswer {
    std::optional<Mapping> mapping;
    QString error;  // why there is none
};

// One way of asking a router. Calls block, come from worker threads and may overlap (a backend
// serializes them itself); each gives up within the budget it is given, give or take a socket
// timeout.
class PortMapBackend {
public:
    virtual ~PortMapBackend() = default;
    virtual MappingProtocol protocol() const = 0;
    virtual MapAnswer add(uint16_t port, std::chrono::seconds lease,
                          std::chrono::milliseconds budget) = 0;
    virtual bool remove(const Mapping& mapping, std::chrono::milliseconds budget) = 0;
};

// The real routers' protocols: libminiupnpc and libnatpmp.
std::shared_ptr<PortMapBackend> makeUpnpBackend();
std::shared_ptr<PortMapBackend> makeNatPmpBackend();

class PortMapper : public QObject {
    Q_OBJECT
public:
    enum class State { Off, Trying, Mapped, Failed };

    struct Timing {
        std::chrono::milliseconds discovery{
            4000};  // a router that has not answered by then has failed
        std::chrono::milliseconds removal{2000};  // longest wait for the router when giving back
        std::chrono::seconds lease{1200};         // asked for; renewed at half of what is granted
    };

    // With no backends given, the real ones.
    explicit PortMapper(std::vector<std::shared_ptr<PortMapBackend>> backends = {},
                        QObject* parent = nullptr);
    PortMapper(std::vector<std::shared_ptr<PortMapBackend>> backends, Timing timing,
               QObject* parent = nullptr);
    ~PortMapper() override;

    // Asks for port; a mapping held for another port is given back first.
    void start(uint16_t port);
    // Gives the mapping back before returning, waiting at most Timing::removal for the router.
    void stop();

    State state() const { return state_; }
    const std::optional<Mapping>& mapping() const { return mapping_; }
    QString failure() const { return failure_; }
    // "off", "trying", "mapped 40.40.40.10:2302 (UPnP IGD)", "failed: ..."
    QString describe() const;

signals:
    void stateChanged(orvel::net::PortMapper::State state);

private:
    struct Shared;
    void ask(size_t backend, bool renewal);
    void answered(uint64_t round, size_t backend, const MapAnswer& answer, bool renewal);
    void giveUp();
    void setState(State s);
    void armRenewal();

    std::vector<std::shared_ptr<PortMapBackend>> backends_;
    Timing timing_;
    std::shared_ptr<Shared> shared_;
    uint16_t port_ = 0;
    State state_ = State::Off;
    std::optional<Mapping> mapping_;
    size_t winner_ = 0;
    // The same router entry as named by the slower protocol: given back too on stop, since a
    // router may file it under the protocol that asked last.
    std::optional<std::pair<size_t, Mapping>> twin_;
    std::vector<QString> errors_;
    size_t pending_ = 0;
    QString failure_;
    QTimer deadline_, renewal_;
};

// The player's choice, for the programs: the setting "PortMapping" (on unless "0"), and never
// where sessions are kept to this machine (ORVEL_DISCOVERY=loopback).
bool portMappingAllowed(const QString& settingText);

}  // namespace orvel::net
