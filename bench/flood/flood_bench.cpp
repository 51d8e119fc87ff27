// Strangers that never finish ENet's handshake, against a session host (orvel-bot) on loopback.
//
//   flood_bench [--joins N] [--seconds S] [--smoke]   (--smoke: 2 joins, 1 s)
//
// Reflection: one CONNECT is sent and never acknowledged; what comes back over S seconds (8) is
// set against its size, from an address that has not shown it receives there (no cookie, or
// asking to be answered at once as ours do) and, as the baseline, from one that has (the cookie
// it was answered with). Joins: a player of this process joins and leaves N times (10) alone,
// then while another address sends 64 CONNECTs a second of each kind; each median is set
// against the one alone.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/event_adapters.h"
#include "net/links/address_gate.h"
#include "private_folders.h"
#include "raw_peer.h"
#include "smoke.h"

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");

class Joiner : public dx8::DirectPlay8EventAdapter {
public:
    // Milliseconds from Connect to its completion, or -1 when it failed or took over 20 s.
    double join(int port) {
        dx8::DirectX8 root;
        std::shared_ptr<dx8::DirectPlay8Peer> peer = root.DirectPlayPeerCreate();
        peer->RegisterMessageHandler(this);
        dx8::DPN_APPLICATION_DESC desc;
        desc.guidApplication = kApp;
        dx8::DirectPlay8Address address;
        address.SetSP(dx8::DP8SP_TCPIP);
        address.AddComponentString(dx8::DPNA_KEY_HOSTNAME, QStringLiteral("127.0.0.1"));
        address.AddComponentLong(dx8::DPNA_KEY_PORT, port);
        result_.reset();
        QElapsedTimer clock;
        clock.start();
        peer->Connect(desc, &address, nullptr, 0, {}, 0);
        while (!result_ && clock.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            5);
        }
        const double ms = clock.nsecsElapsed() / 1e6;
        peer->Close(0);
        return result_ == dx8::DPN_OK ? ms : -1;
    }
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& m, bool&) override {
        result_ = m.hResultCode;
    }

private:
    std::optional<dx8::HRESULT> result_;
};

double median(std::vector<double> v) {
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What a stranger's CONNECT carries: a cookie it fetched first, the offer to prove its address
// on the link (how ours link), or nothing.
enum class Carries { Cookie, ProofOnLink, Nothing };

uint32_t dataFor(orvel::testing::RawStranger& s, uint16_t port, Carries c) {
    return c == Carries::Cookie        ? s.fetchCookie(port, 0, 1000)
           : c == Carries::ProofOnLink ? dx8::kProveOnLink
                                       : 0;
}

// Bytes back per byte sent for one CONNECT never acknowledged.
double reflection(const char* ip, uint16_t port, Carries carries, int seconds) {
    orvel::testing::RawStranger s(ip);
    const uint32_t cookie = dataFor(s, port, carries);
    s.drain(200);
    s.bytesIn = s.bytesOut = 0;
    s.sendConnect(port, cookie);
    s.drain(seconds * 1000);
    std::printf("  %-28s %4zu B in, %5zu B back in %3d datagrams: %6.2fx\n",
                carries == Carries::Cookie        ? "validated address"
                : carries == Carries::ProofOnLink ? "unverified, answered at once"
                                                  : "unverified address",
                s.bytesOut, s.bytesIn, s.datagramsIn,
                static_cast<double>(s.bytesIn) / std::max<size_t>(s.bytesOut, 1));
    return static_cast<double>(s.bytesIn) / std::max<size_t>(s.bytesOut, 1);
}

// The median join of `joins` while ip sends 64 CONNECTs a second (none when ip is null).
double joinsUnderFlood(uint16_t port, int joins, const char* ip, Carries carries) {
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood;
    std::unique_ptr<orvel::testing::RawStranger> s;
    if (ip != nullptr) {
        s = std::make_unique<orvel::testing::RawStranger>(ip);
        const uint32_t cookie = dataFor(*s, port, carries);
        flood = std::thread([&, cookie] {
            while (!stop) {
                s->sendConnect(port, cookie);
                ++sent;
                s->drain(1000 / 64);
            }
        });
        while (sent < 64) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    Joiner joiner;
    std::vector<double> times;
    int failed = 0;
    for (int i = 0; i < joins; ++i) {
        const double ms = joiner.join(port);
        if (ms < 0) {
            ++failed;
        } else {
            times.push_back(ms);
        }
        QElapsedTimer settle;  // the host lets the player go before the next one comes
        settle.start();
        while (settle.elapsed() < 100) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    stop = true;
    if (flood.joinable()) {
        flood.join();
    }
    if (failed > 0) {
        std::printf("    (%d of %d joins failed)\n", failed, joins);
    }
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&](const char* name, int fallback) {
        const int i = args.indexOf(QString::fromLatin1(name));
        return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : fallback;
    };
    const int joins = std::max(1, option("--joins", smoke ? 2 : 10));
    const int seconds = std::max(1, option("--seconds", smoke ? 1 : 8));
    // The host's runtime and settings folders are this run's own.
    const orvel::bench::PrivateFolders folders;

    orvel::testing::ChildProcess host;
    host.loopbackOnly();
    host.setEnv(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("loopback"));
    if (!host.start(QStringLiteral(ORVEL_BOT),
                    {QStringLiteral("--host"), QStringLiteral("--parked"),
                     QStringLiteral("--no-port-mapping"), QStringLiteral("--max-players"),
                     QStringLiteral("64"), QStringLiteral("--report"), QStringLiteral("0")})) {
        std::fprintf(stderr, "flood_bench: orvel-bot did not start\n");
        return 1;
    }
    const QRegularExpression hosting(QStringLiteral("on port (\\d+)$"));
    const int at = host.waitLine(hosting, 10000);
    if (at < 0) {
        std::fprintf(stderr, "flood_bench: orvel-bot hosts no session\n");
        return 1;
    }
    const uint16_t port =
        static_cast<uint16_t>(hosting.match(host.lines()[at]).captured(1).toInt());

    std::printf("one CONNECT never acknowledged, what comes back over %d s:\n", seconds);
    const double validated = reflection("127.0.0.12", port, Carries::Cookie, seconds);
    const double unverified = reflection("127.0.0.11", port, Carries::Nothing, seconds);
    const double atOnce = reflection("127.0.0.15", port, Carries::ProofOnLink, seconds);
    std::printf(
        "  unverified against validated: %.3f, answered at once against validated: %.3f\n\n",
        unverified / std::max(validated, 1e-9), atOnce / std::max(validated, 1e-9));

    std::printf("join on loopback, median of %d:\n", joins);
    const double alone = joinsUnderFlood(port, joins, nullptr, Carries::Nothing);
    std::printf("  %-52s %8.2f ms  (baseline)\n", "no flood", alone);
    bool joined = alone >= 0;
    const struct {
        const char* what;
        const char* ip;
        Carries carries;
    } floods[] = {
        {"64 CONNECTs/s from one address, no cookie", "127.0.0.13", Carries::Nothing},
        {"64 CONNECTs/s from one address, valid cookie", "127.0.0.14", Carries::Cookie},
        {"64 CONNECTs/s from one address, to be answered at once", "127.0.0.16",
         Carries::ProofOnLink},
    };
    for (const auto& f : floods) {
        const double ms = joinsUnderFlood(port, joins, f.ip, f.carries);
        std::printf("  %-52s %8.2f ms  %6.2fx\n", f.what, ms, ms / std::max(alone, 1e-9));
        joined = joined && ms >= 0;
    }
    host.stop();
    if (!joined) {
        std::fprintf(stderr, "flood_bench: every join of a row failed\n");
    }
    return joined ? 0 : 1;
}
