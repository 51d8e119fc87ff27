// CPU of `orvel` idling in its connection wizard and in its main window, each against a bare Qt
// window idling on its own private X server in the same run; and the time from a join click to
// the main window on loopback, against a bare ENet connect on loopback.
//
//   wizard_bench [--smoke] [Google Benchmark's options]
#include <benchmark/benchmark.h>
#include <enet/enet.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "gbench_main.h"
#include "orvel_player.h"
#include "private_folders.h"
#include "process_cpu.h"
#include "smoke.h"

using wizard_it::Player;

namespace {

// The sizes of a run; --smoke takes the least that still gives every figure.
int idleSeconds = 10;
int joinCount = 3;

const QString kChoose = QStringLiteral("^Kartova Multiplayer - v1\\.1 - Choose Protocol$");
const QString kSessions = QStringLiteral("^Kartova Multiplayer - v1\\.1 - Create or Join Session$");
const QString kCreate = QStringLiteral("^Kartova Multiplayer - v1\\.1 - Create Session$");

char* selfPath = nullptr;

using orvel::bench::cpuSeconds;

// Share of one core the process uses over idleSeconds, in percent.
double idlePercent(qint64 pid) {
    QThread::sleep(1);  // let start-up work settle
    const auto before = cpuSeconds(pid);
    QElapsedTimer wall;
    wall.start();
    QThread::sleep(idleSeconds);
    const auto after = cpuSeconds(pid);
    if (!before || !after) {
        return -1.0;
    }
    return 100.0 * (*after - *before) / (static_cast<double>(wall.elapsed()) / 1000.0);
}

// A bare Qt window, idling: the baseline of the idle figures.
double bareWindowPercent() {
    orvel::testing::XvfbDisplay display;
    QProcess bare;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display.name());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    bare.setProcessEnvironment(env);
    bare.start(QString::fromLocal8Bit(selfPath), {QStringLiteral("--bare-window")});
    if (!display.ok() || !bare.waitForStarted(10000)) {
        return -1.0;
    }
    QThread::sleep(1);
    const double percent = idlePercent(bare.processId());
    bare.kill();
    bare.waitForFinished(5000);
    return percent;
}

bool hostSession(Player& host, const QString& session, int* port) {
    host.presetSettings({{"UserName", "Host"}, {"GameName", session}});
    if (!host.start() || host.waitWindow(kChoose).isEmpty()) {
        return false;
    }
    host.focus(host.waitWindow(kChoose));
    host.key(QStringLiteral("Return"));
    if (host.waitWindow(kSessions).isEmpty()) {
        return false;
    }
    host.key(QStringLiteral("alt+c"));
    if (host.waitWindow(kCreate).isEmpty()) {
        return false;
    }
    host.key(QStringLiteral("Return"));
    const auto hosting =
        host.waitLog(QRegularExpression(QStringLiteral("hosting .* on port (\\d+)")));
    if (!hosting.hasMatch() || host.waitWindow(QStringLiteral("^Orvel \\(HOST\\)$")).isEmpty()) {
        return false;
    }
    *port = hosting.captured(1).toInt();
    return true;
}

double seconds(const QRegularExpressionMatch& m) {
    return m.captured(1).toDouble();
}

// One join: milliseconds from the click to the main window's show, read from the joiner's own
// time-stamped diagnostics.
std::optional<double> joinOnce(int port, const QString& session) {
    Player joiner(QStringLiteral("joiner"));
    joiner.setEnv(QStringLiteral("ORVEL_ENUM_ADDRESS"), QStringLiteral("127.0.0.1:%1").arg(port));
    joiner.setEnv(QStringLiteral("QT_MESSAGE_PATTERN"),
                  QStringLiteral("%{time boot} %{category}: %{message}"));
    joiner.presetSettings({{"UserName", "Joiner"}});
    if (!joiner.ready() || !joiner.start() || joiner.waitWindow(kChoose).isEmpty()) {
        return std::nullopt;
    }
    joiner.focus(joiner.waitWindow(kChoose));
    joiner.key(QStringLiteral("Return"));
    if (joiner.waitWindow(kSessions).isEmpty()) {
        return std::nullopt;
    }
    joiner.key(QStringLiteral("alt+t"));
    const auto listed = joiner.waitLog(
        QRegularExpression(QStringLiteral("lstGames: ") + QRegularExpression::escape(session)));
    if (!listed.hasMatch()) {
        return std::nullopt;
    }
    joiner.key(QStringLiteral("Home"));
    joiner.key(QStringLiteral("alt+j"));
    const auto clicked =
        joiner.waitLog(QRegularExpression(QStringLiteral("([0-9.]+) orvel.wizard: join clicked")));
    const auto shown = joiner.waitLog(
        QRegularExpression(QStringLiteral("([0-9.]+) orvel.startup: main window shown")));
    if (!clicked.hasMatch() || !shown.hasMatch()) {
        return std::nullopt;
    }
    const double ms = (seconds(shown) - seconds(clicked)) * 1000.0;
    const QString main = joiner.waitWindow(QStringLiteral("^Orvel$"));
    joiner.closeWindow(main);
    joiner.waitExit();
    return ms;
}

// A bare ENet connect on loopback, handshake complete on both sides: the join's baseline.
std::optional<double> enetConnectMs() {
    ENetAddress address;
    enet_address_set_host(&address, "127.0.0.1");
    address.port = 0;
    ENetHost* server = enet_host_create(&address, 4, 2, 0, 0);
    ENetHost* client = enet_host_create(nullptr, 1, 2, 0, 0);
    if (server == nullptr || client == nullptr) {
        return std::nullopt;
    }
    ENetAddress target;
    enet_address_set_host(&target, "127.0.0.1");
    target.port = server->address.port;
    QElapsedTimer timer;
    timer.start();
    enet_host_connect(client, &target, 2, 0);
    bool serverUp = false;
    bool clientUp = false;
    ENetEvent event;
    // Both ends serviced without waiting, so the figure is the handshake, not a poll interval.
    while (!(serverUp && clientUp) && timer.elapsed() < 5000) {
        if (enet_host_service(server, &event, 0) > 0 && event.type == ENET_EVENT_TYPE_CONNECT) {
            serverUp = true;
        }
        if (enet_host_service(client, &event, 0) > 0 && event.type == ENET_EVENT_TYPE_CONNECT) {
            clientUp = true;
        }
    }
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    enet_host_destroy(client);
    enet_host_destroy(server);
    if (!(serverUp && clientUp)) {
        return std::nullopt;
    }
    return ms;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1.0 : v[v.size() / 2];
}

void BM_IdleInWizard(benchmark::State& state) {
    for (auto _ : state) {
        const orvel::bench::PrivateFolders folders;
        const double baseline = bareWindowPercent();
        Player player(QStringLiteral("idle"));
        if (!player.ready() || !player.start() || player.waitWindow(kChoose).isEmpty()) {
            state.SkipWithError("orvel did not show its wizard");
            return;
        }
        const double percent = idlePercent(player.pid());
        state.SetIterationTime(idleSeconds);
        state.counters["cpu_percent"] = percent;
        state.counters["bare_qt_percent"] = baseline;
        // A bare Qt window idles at about nothing, so the figure is given against one core and
        // as the excess over the bare window.
        state.counters["above_bare_percent"] = percent - baseline;
        std::printf(
            "idle in the wizard: %.3f %% of a core (bare Qt window %.3f %%, target < 0.05 %%)\n",
            percent, baseline);
    }
}

void BM_IdleInMainWindow(benchmark::State& state) {
    for (auto _ : state) {
        // The host of this case alone: killed at its end, it leaves a restart record that
        // would take the next case's host of the same name back into this dead session.
        const orvel::bench::PrivateFolders folders;
        const double baseline = bareWindowPercent();
        Player host(QStringLiteral("host"));
        int port = 0;
        if (!host.ready() || !hostSession(host, QStringLiteral("Idle %1").arg(getpid()), &port)) {
            state.SkipWithError("orvel did not open its main window");
            return;
        }
        const double percent = idlePercent(host.pid());
        state.SetIterationTime(idleSeconds);
        state.counters["cpu_percent"] = percent;
        state.counters["bare_qt_percent"] = baseline;
        state.counters["above_bare_percent"] = percent - baseline;
        std::printf(
            "idle in the main window: %.3f %% of a core (bare Qt window %.3f %%, target < 0.05 "
            "%%)\n",
            percent, baseline);
    }
}

void BM_JoinClickToMainWindow(benchmark::State& state) {
    for (auto _ : state) {
        const orvel::bench::PrivateFolders folders;
        std::vector<double> baseline;
        for (int i = 0; i < 11; ++i) {
            if (const auto ms = enetConnectMs()) {
                baseline.push_back(*ms);
            }
        }
        Player host(QStringLiteral("host"));
        const QString session = QStringLiteral("Join %1").arg(getpid());
        int port = 0;
        if (!host.ready() || !hostSession(host, session, &port)) {
            state.SkipWithError("orvel did not host");
            return;
        }
        std::vector<double> joins;
        for (int i = 0; i < joinCount; ++i) {
            if (const auto ms = joinOnce(port, session)) {
                joins.push_back(*ms);
            }
        }
        if (joins.empty()) {
            state.SkipWithError("no join completed");
            return;
        }
        const double join = median(joins);
        const double enet = median(baseline);
        state.SetIterationTime(join / 1000.0);
        state.counters["join_ms"] = join;
        state.counters["enet_connect_ms"] = enet;
        state.counters["ratio"] = enet > 0 ? join / enet : 0.0;
        // The join's figure has the millisecond resolution of the time-stamped diagnostics.
        std::printf(
            "join click to main window: median %.1f ms of %zu, %.0f x a bare ENet connect "
            "(%.3f ms); target < 200 ms\n",
            join, joins.size(), enet > 0 ? join / enet : 0.0, enet);
    }
}

BENCHMARK(BM_IdleInWizard)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleInMainWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JoinClickToMainWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    selfPath = argv[0];
    if (argc > 1 && QByteArray(argv[1]) == "--bare-window") {
        QApplication app(argc, argv);
        QWidget window;
        window.resize(400, 300);
        window.show();
        return QApplication::exec();
    }
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    if (!orvel::testing::haveXvfb() || enet_initialize() != 0) {
        std::fprintf(stderr, "wizard_bench needs Xvfb and ENet\n");
        return 1;
    }
    if (smoke) {
        idleSeconds = 1;
        joinCount = 1;
    }
    orvel::bench::initialize(argc, argv, smoke);
    orvel::bench::CheckedReporter reporter;
    const int status = orvel::bench::runChecked(reporter);
    enet_deinitialize();
    return status;
}
