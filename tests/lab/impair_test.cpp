// The lab's bridge, measured: UDP probes from player 1 to player 2 through it, both sockets in
// this process so one clock times them. Bounds are loose: the machine is shared and noisy.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cstring>
#include <vector>

#include "lab.h"

namespace {

constexpr uint16_t kPort = 40000;

struct Arrival {
    uint32_t seq;
    double delayMs;
};

// Sends `count` probes, one every `gapUs`, from player 1 to player 2, and collects what arrives
// until nothing has come for `quietMs`.
std::vector<Arrival> probe(lab::Lab& lab, int count, int gapUs, int quietMs,
                           std::vector<double>* sentAtMs = nullptr) {
    const int out = lab.udpSocket(1, kPort);
    const int in = lab.udpSocket(2, kPort);
    std::vector<Arrival> got;
    if (out < 0 || in < 0) {
        ADD_FAILURE() << "no socket in the lab";
        return got;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(0x0A4D0002u);
    QElapsedTimer clock;
    clock.start();
    std::vector<double> sent(count);
    int next = 0;
    qint64 lastArrivalNs = 0;
    const qint64 limitNs = (static_cast<qint64>(count) * gapUs / 1000 + quietMs + 10000) * 1000000LL;
    while (clock.nsecsElapsed() < limitNs) {
        const qint64 t = clock.nsecsElapsed();
        if (next < count && t >= static_cast<qint64>(next) * gapUs * 1000) {
            uint8_t m[12] = {};
            std::memcpy(m, &next, 4);
            std::memcpy(m + 4, &t, 8);
            sent[next] = t / 1e6;
            ::sendto(out, m, sizeof m, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++next;
            continue;
        }
        if (next == count && t - std::max<qint64>(lastArrivalNs, static_cast<qint64>(sent.back() * 1e6)) > quietMs * 1000000LL) {
            break;
        }
        pollfd p{in, POLLIN, 0};
        ::poll(&p, 1, next < count ? 1 : 20);
        uint8_t m[64];
        while (::recv(in, m, sizeof m, 0) == 12) {
            lastArrivalNs = clock.nsecsElapsed();
            uint32_t seq;
            qint64 at;
            std::memcpy(&seq, m, 4);
            std::memcpy(&at, m + 4, 8);
            got.push_back({seq, (lastArrivalNs - at) / 1e6});
        }
    }
    ::close(out);
    ::close(in);
    if (sentAtMs) *sentAtMs = sent;
    return got;
}

class Impair : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        QString why;
        bool unsupported = false;
        lab_ = lab::Lab::create(2, &why, &unsupported).release();
        skip_ = unsupported ? why : QString();
        if (!lab_ && !unsupported) {
            failure_ = why;
        }
    }
    static void TearDownTestSuite() {
        delete lab_;
        lab_ = nullptr;
    }
    void SetUp() override {
        if (!skip_.isEmpty()) GTEST_SKIP() << skip_.toStdString();
        ASSERT_TRUE(lab_) << failure_.toStdString();
        ASSERT_TRUE(lab_->control(QStringLiteral("set all delay=0 jitter=0 loss=0 dup=0 reorder=0")));
        ASSERT_TRUE(lab_->control(QStringLiteral("outage all 0 0")));
    }
    static lab::Lab* lab_;
    static QString skip_, failure_;
};
lab::Lab* Impair::lab_ = nullptr;
QString Impair::skip_;
QString Impair::failure_;

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * (v.size() - 1))];
}

TEST_F(Impair, MeasuredFiguresMatchTheSettings) {
    struct Case {
        const char* settings;
        int count;
        double delayLo, delayHi;      // median one-way delay, ms
        double lossLo, lossHi;        // % of probes never delivered
        double dupLo, dupHi;          // % of probes delivered twice
        double reorderLo, reorderHi;  // % of arrivals behind a later probe
    };
    const Case cases[] = {
        // Untouched: everything arrives, so the checksums survive the bridge.
        {"", 400, 0, 10, 0, 0.5, 0, 0.5, 0, 0.5},
        {"set p1 delay=20 jitter=5;set p2 delay=10", 300, 27, 45, 0, 0.5, 0, 0.5, 0, 0.5},
        {"set p1 loss=20", 1500, 0, 10, 15, 25, 0, 0.5, 0, 0.5},
        {"set p2 dup=25", 1500, 0, 10, 0, 0.5, 19, 31, 0, 0.5},
        {"set p2 reorder=20", 1500, 0, 35, 0, 0.5, 0, 0.5, 14, 26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ASSERT_TRUE(lab_->control(QStringLiteral("set all delay=0 jitter=0 loss=0 dup=0 reorder=0")));
        for (const QString& s : QString::fromLatin1(c.settings).split(';', Qt::SkipEmptyParts)) {
            ASSERT_TRUE(lab_->control(s)) << s.toStdString();
        }
        const std::vector<Arrival> got = probe(*lab_, c.count, 1000, 300);
        std::vector<int> seen(c.count);
        std::vector<double> delays;
        int dups = 0, late = 0;
        uint32_t highest = 0;
        for (const Arrival& a : got) {
            ASSERT_LT(a.seq, static_cast<uint32_t>(c.count));
            if (seen[a.seq]++ > 0) {
                ++dups;
                continue;
            }
            late += a.seq < highest;
            highest = std::max(highest, a.seq);
            delays.push_back(a.delayMs);
        }
        const double n = c.count;
        const double delivered = static_cast<double>(delays.size());
        const double median = percentile(delays, 0.5);
        EXPECT_GE(median, c.delayLo);
        EXPECT_LE(median, c.delayHi);
        EXPECT_GE(100 * (n - delivered) / n, c.lossLo);
        EXPECT_LE(100 * (n - delivered) / n, c.lossHi);
        EXPECT_GE(100 * dups / n, c.dupLo);
        EXPECT_LE(100 * dups / n, c.dupHi);
        EXPECT_GE(100 * late / std::max(1.0, delivered), c.reorderLo);
        EXPECT_LE(100 * late / std::max(1.0, delivered), c.reorderHi);
    }
}

TEST_F(Impair, AnOutageDropsEverythingWhileItLastsAndNothingAfter) {
    ASSERT_TRUE(lab_->control(QStringLiteral("outage p2 0 400")));
    std::vector<double> sentAt;
    const std::vector<Arrival> got = probe(*lab_, 400, 2000, 300, &sentAt);
    int during = 0, after = 0;
    for (const Arrival& a : got) {
        during += sentAt[a.seq] < 350;  // some slack for the control round trip
        after += sentAt[a.seq] > 450;
    }
    EXPECT_EQ(during, 0);
    const int sentAfter = static_cast<int>(std::count_if(sentAt.begin(), sentAt.end(),
                                                         [](double t) { return t > 450; }));
    EXPECT_EQ(after, sentAfter);
    EXPECT_GT(lab_->counter(2, QStringLiteral("dark")), 100);
}

TEST_F(Impair, BadCommandsAreRefusedAndChangeNothing) {
    const char* bad[] = {"set p1 loss=200", "set p9 delay=1", "set p1 delay=-3", "set p1 speed=3",
                         "set p1 delay=abc", "outage p1 x y", "outage p1 10", "frobnicate", ""};
    for (const char* command : bad) {
        QString reply;
        EXPECT_FALSE(lab_->control(QString::fromLatin1(command), &reply)) << command;
        EXPECT_TRUE(reply.startsWith(QStringLiteral("error"))) << command << ": " << reply.toStdString();
    }
    const std::vector<Arrival> got = probe(*lab_, 200, 1000, 200);
    EXPECT_EQ(got.size(), 200u);  // still clean: no refused setting took effect
}

}  // namespace
