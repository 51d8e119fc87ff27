// A session found by a local-network search and joined across a link between two network
// namespaces that this test makes (ip netns, veth). Broadcasts stay inside the namespaces.

#include <unistd.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include "peer_process.h"

using orvel::testing::PeerProcess;

namespace {

bool run(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("ip"), args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Two namespaces joined by a veth pair, 10.251.N.1 and 10.251.N.2; removed again at the end.
class Namespaces {
public:
    Namespaces() {
        const QString tag = QString::number(getpid() % 100000);
        a_ = QStringLiteral("orvel-a-") + tag;
        b_ = QStringLiteral("orvel-b-") + tag;
        const QString va = QStringLiteral("ova") + tag;
        const QString vb = QStringLiteral("ovb") + tag;
        const QString net = QStringLiteral("10.251.%1.").arg(getpid() % 250 + 1);
        hostIp_ = net + QStringLiteral("1");
        ok_ = run({"netns", "add", a_}) && run({"netns", "add", b_}) &&
              run({"link", "add", va, "type", "veth", "peer", "name", vb}) &&
              run({"link", "set", va, "netns", a_}) && run({"link", "set", vb, "netns", b_}) &&
              run({"-n", a_, "addr", "add", hostIp_ + "/24", "brd", "+", "dev", va}) &&
              run({"-n", b_, "addr", "add", net + "2/24", "brd", "+", "dev", vb}) &&
              run({"-n", a_, "link", "set", va, "up"}) &&
              run({"-n", b_, "link", "set", vb, "up"}) &&
              run({"-n", a_, "link", "set", "lo", "up"}) &&
              run({"-n", b_, "link", "set", "lo", "up"});
    }
    ~Namespaces() {
        run({"netns", "del", a_});
        run({"netns", "del", b_});
    }
    bool ok() const { return ok_; }
    QStringList in(const QString& ns) const {
        return {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns};
    }
    const QString& a() const { return a_; }
    const QString& b() const { return b_; }
    const QString& hostIp() const { return hostIp_; }

private:
    QString a_, b_, hostIp_;
    bool ok_ = false;
};

TEST(SessionAcrossNamespaces, FoundByLanSearchAndJoinedOverVeth) {
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty()) {
        GTEST_SKIP() << "needs root and the ip tool to make network namespaces";
    }
    Namespaces ns;
    if (!ns.ok()) {
        GTEST_SKIP() << "network namespaces cannot be made here";
    }
    const QStringList lan{QStringLiteral("ORVEL_DISCOVERY=lan")};
    PeerProcess host(QStringLiteral("h"), lan, ns.in(ns.a()));
    ASSERT_TRUE(host.started());
    host.send(QStringLiteral("host 6 0"));
    const QString port = host.capture(QStringLiteral("^HOSTED (\\d+)$"));
    ASSERT_FALSE(port.isEmpty());

    PeerProcess joiner(QStringLiteral("j"), lan, ns.in(ns.b()));
    ASSERT_TRUE(joiner.started());
    joiner.send(QStringLiteral("enum"));
    const QString pattern =
        QStringLiteral("^ENUM \\S+ 1 6 \\d+ .*hostname=%1;port=%2$").arg(ns.hostIp(), port);
    ASSERT_GE(joiner.waitFor(pattern), 0) << joiner.dump().toStdString();
    joiner.send(QStringLiteral("cancel"));
    joiner.send(QStringLiteral("connect %1 %2").arg(ns.hostIp(), port));
    ASSERT_GE(joiner.waitFor(QStringLiteral("^CONNECT 0x0$")), 0) << joiner.dump().toStdString();
    EXPECT_GE(host.waitFor(QStringLiteral("^CREATE \\d+ 0 j$")), 0);
    joiner.send(QStringLiteral("send all 20 across"));
    EXPECT_GE(host.waitFor(QStringLiteral("^RECV j across$")), 0) << host.dump().toStdString();
}

}  // namespace
