// A car's way from one game to another: the time from a change of game A's car 0 record to its
// arrival in game B's car slot 1, with two players (two `orvel` programs beside two
// `kartova-standin` games) and with six (four `orvel-bot` players besides), against the tick
// period of A's `orvel` measured in the same run; and the CPU share of B's `orvel` in the
// six-player race, against an `orvel-bot` in the same race. Everything runs on loopback.
//
//   race_bench [--smoke] [Google Benchmark's options]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "gbench_main.h"
#include "private_folders.h"
#include "process_cpu.h"
#include "race_players.h"
#include "smoke.h"

using race_e2e::Bot;
using race_e2e::Racer;

namespace {

// The sizes of a run; --smoke takes the least that still gives every figure.
int samples = 300;
int cpuSpanSeconds = 10;
int tickSpanSeconds = 5;
constexpr double kTickMs = 50.0;
// Four bytes of car 0's livery pattern: only the game's start-up writes there, so while the
// race is held a change there is the bench's alone.
constexpr uint32_t kProbeOffset = 0x7C;

using Clock = std::chrono::steady_clock;

// A game's memory, opened once for quick reads and writes.
class GameMemory {
public:
    explicit GameMemory(uint32_t pid) {
        const QByteArray path = "/proc/" + QByteArray::number(pid) + "/mem";
        fd_ = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    }
    ~GameMemory() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    bool write32(uint32_t address, uint32_t v) { return ::pwrite(fd_, &v, 4, address) == 4; }
    std::optional<uint32_t> read32(uint32_t address) {
        uint32_t v = 0;
        if (::pread(fd_, &v, 4, address) != 4) {
            return std::nullopt;
        }
        return v;
    }

private:
    int fd_ = -1;
};

using orvel::bench::cpuSeconds;

// Shares of a core, in percent, of each process over the same cpuSpanSeconds.
std::vector<double> cpuPercent(const std::vector<qint64>& pids) {
    std::vector<double> before;
    for (qint64 pid : pids) {
        before.push_back(cpuSeconds(pid).value_or(-1));
    }
    QElapsedTimer wall;
    wall.start();
    QThread::sleep(cpuSpanSeconds);
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    std::vector<double> out;
    for (size_t i = 0; i < pids.size(); ++i) {
        const auto after = cpuSeconds(pids[i]);
        out.push_back(after && before[i] >= 0 ? 100.0 * (*after - before[i]) / seconds : -1.0);
    }
    return out;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return -1.0;
    }
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(std::min<double>(v.size() - 1, p * (v.size() - 1) + 0.5));
    return v[i];
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The effective tick period of A's orvel: the probe counts up every millisecond, and each tick
// carries the value of its moment to B; the mean gap between the arrivals of new values.
std::optional<double> tickPeriodMs(GameMemory& a, GameMemory& b, uint32_t probeA, uint32_t probeB) {
    std::vector<Clock::time_point> arrivals;
    std::optional<uint32_t> last = b.read32(probeB);
    uint32_t counter = 0x70000000;
    const auto end = Clock::now() + std::chrono::seconds(tickSpanSeconds);
    auto nextWrite = Clock::now();
    while (Clock::now() < end) {
        if (Clock::now() >= nextWrite) {
            a.write32(probeA, ++counter);
            nextWrite += std::chrono::milliseconds(1);
        }
        const auto seen = b.read32(probeB);
        if (seen && seen != last) {
            arrivals.push_back(Clock::now());
            last = seen;
        }
        QThread::usleep(200);
    }
    if (arrivals.size() < 10) {
        return std::nullopt;
    }
    return ms(arrivals.back() - arrivals.front()) / static_cast<double>(arrivals.size() - 1);
}

struct Latencies {
    std::vector<double> ms;
    int lost = 0;
};

// Each sample: a new value in A's car 0, then B's slot 1 is watched until it shows it.
Latencies measure(GameMemory& a, GameMemory& b, uint32_t probeA, uint32_t probeB) {
    Latencies out;
    std::mt19937 random(7);
    for (int i = 0; i < samples; ++i) {
        const uint32_t value = 0x5A000000u + static_cast<uint32_t>(i);
        const auto start = Clock::now();
        a.write32(probeA, value);
        bool arrived = false;
        while (Clock::now() - start < std::chrono::milliseconds(500)) {
            if (b.read32(probeB) == value) {
                out.ms.push_back(ms(Clock::now() - start));
                arrived = true;
                break;
            }
            QThread::usleep(200);
        }
        out.lost += arrived ? 0 : 1;
        // A random pause as long as a tick or more, so that the changes fall anywhere in it.
        QThread::usleep(10000 + random() % 50000);
    }
    return out;
}

void BM_CarStateLatency(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    for (auto _ : state) {
        // Players of this case alone: the restart records of the ones an earlier case killed
        // would bring the same names back into that dead session instead of hosting.
        const orvel::bench::PrivateFolders folders;
        Racer ann(QStringLiteral("Ann"), {QStringLiteral("--race")});
        Racer bob(QStringLiteral("Bob"), {QStringLiteral("--race")});
        const int port = ann.host(race_e2e::sessionName("Bench"), false);
        if (port <= 0 || !bob.join(port)) {
            state.SkipWithError("the two orvel programs did not meet");
            return;
        }
        std::vector<std::unique_ptr<Bot>> bots;
        for (int i = 2; i < players; ++i) {
            bots.push_back(std::make_unique<Bot>(QStringLiteral("Bot%1").arg(i)));
            if (!bots.back()->join(port)) {
                state.SkipWithError("a bot did not join");
                return;
            }
        }
        if (!ann.game().waitUntil([&] { return ann.game().siteA() == 0xC3; }) ||
            !bob.game().waitUntil([&] { return bob.game().siteA() == 0xC3; }) ||
            ann.game().command(QStringLiteral("hold on")) != QLatin1String("ok")) {
            state.SkipWithError("the games did not get ready");
            return;
        }
        GameMemory a(ann.game().pid());
        GameMemory b(bob.game().pid());
        const uint32_t probeA = race_e2e::carRecord(0) + kProbeOffset;
        const uint32_t probeB = race_e2e::carRecord(1) + kProbeOffset;
        if (!a.ok() || !b.ok() ||
            !race_e2e::waitUntil([&] { return b.read32(probeB) == a.read32(probeA); })) {
            state.SkipWithError("car states did not arrive");
            return;
        }
        const std::optional<double> period = tickPeriodMs(a, b, probeA, probeB);
        const Latencies l = measure(a, b, probeA, probeB);
        if (l.ms.empty() || !period) {
            state.SkipWithError("no car state arrived");
            return;
        }
        const double p50 = percentile(l.ms, 0.50);
        const auto late =
            std::count_if(l.ms.begin(), l.ms.end(), [](double v) { return v > kTickMs + 2; });
        const double p99 = percentile(l.ms, 0.99);
        state.SetIterationTime(p99 / 1000.0);
        state.counters["p50_ms"] = p50;
        state.counters["p99_ms"] = p99;
        state.counters["tick_ms"] = *period;
        state.counters["p99_per_tick"] = p99 / *period;
        state.counters["lost"] = l.lost;
        state.counters["over_target"] = static_cast<double>(late);
        std::printf(
            "%d players: A's car 0 to B's slot 1 p50 %.1f ms, p99 %.1f ms (min %.1f, max %.1f) of "
            "%zu, %d "
            "lost, %lld over %.0f ms; tick period measured %.2f ms (nominal %.0f): p99 = %.3f x "
            "tick; target p99 <= %.0f ms\n",
            players, p50, p99, percentile(l.ms, 0.0), percentile(l.ms, 1.0), l.ms.size(), l.lost,
            static_cast<long long>(late), kTickMs + 2, *period, kTickMs, p99 / *period,
            kTickMs + 2);

        if (players >= 6) {
            // The race goes on by itself: A's car drives again.
            ann.game().command(QStringLiteral("hold off"));
            ann.game().command(QStringLiteral("autopilot on"));
            bob.game().command(QStringLiteral("autopilot on"));
            QThread::sleep(1);
            const std::vector<double> cpu =
                cpuPercent({bob.orvel().pid(), ann.orvel().pid(), bots.front()->pid()});
            state.counters["orvel_cpu_percent"] = cpu[0];
            state.counters["bot_cpu_percent"] = cpu[2];
            std::printf(
                "%d players: orvel uses %.2f %% of a core (B) and %.2f %% (A, host); an orvel-bot "
                "in the same race %.2f %%: %.1f x the bot; target < 2 %%\n",
                players, cpu[0], cpu[1], cpu[2], cpu[2] > 0 ? cpu[0] / cpu[2] : 0.0);
        }
    }
}

BENCHMARK(BM_CarStateLatency)
    ->Arg(2)
    ->Arg(6)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    if (!orvel::testing::haveXvfb()) {
        std::fprintf(stderr, "race_bench needs Xvfb\n");
        return 1;
    }
    if (smoke) {
        samples = 20;
        cpuSpanSeconds = 1;
        tickSpanSeconds = 1;
    }
    orvel::bench::initialize(argc, argv, smoke);
    orvel::bench::CheckedReporter reporter;
    return orvel::bench::runChecked(reporter);
}
