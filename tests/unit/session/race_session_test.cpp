// The race session's listeners: several hear each notification in the order they were added,
// one may come or go while a notification is being delivered, and a listener that keeps its own
// account of the players hears what the peer reported as it reported it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "session/race_session.h"
#include "stub_peer.h"

namespace {

using dx8::DPNID;
using orvel::RaceSession;
using orvel::SessionPlayer;

std::string text(const QString& s) {
    return s.toStdString();
}

// Writes "A1 " when listener A hears chat line 1, and the same when told its own line 1 went out.
class Hears : public RaceSession::Listener {
public:
    Hears(std::string name, std::string& log) : name_(std::move(name)), log_(log) {}
    // Runs inside the first line heard after it is set.
    std::function<void()> during;

    void onChatLine(DPNID, const QString&, const QString& line) override {
        log_ += name_ + text(line) + " ";
        if (auto run = std::exchange(during, {})) {
            run();
        }
    }
    void onChatSent(const QString& line) override { log_ += name_ + text(line) + " "; }

private:
    std::string name_;
    std::string& log_;
};

// Writes down what it hears, one line each.
class Notes : public RaceSession::Listener {
public:
    explicit Notes(std::vector<std::string>& log) : log_(log) {}

    void onChatLine(DPNID sender, const QString& senderName, const QString& line) override {
        note("chat " + std::to_string(sender) + " " + text(senderName) + " " + text(line));
    }
    void onPlayerLeft(const SessionPlayer& p) override { note("left " + text(p.name)); }
    void onHostChanged(const SessionPlayer& p) override { note("host " + text(p.name)); }
    void onCarState(int slot, const orvel::CarState&) override {
        note("car in slot " + std::to_string(slot));
    }
    void onConnectFailed(dx8::HRESULT code) override {
        note("failed " + text(dx8::hresultHex(code)));
    }
    void onConnected() override { note("connected"); }
    void onPlayerDestroyed(DPNID id) override { note("destroyed " + std::to_string(id)); }
    void onHostMigrated(DPNID id) override { note("migrated " + std::to_string(id)); }
    void onPlayerRenamed(DPNID id, const QString& name) override {
        note("renamed " + std::to_string(id) + " " + text(name));
    }
    void onCarStateFrom(DPNID sender, const orvel::CarState&) override {
        note("car from " + std::to_string(sender));
    }

private:
    void note(const std::string& what) { log_.push_back(what); }
    std::vector<std::string>& log_;
};

// Ann (1) is oneself, Bob (2) the other player, in car slot 1. Open to the rows of the tables.
class RaceSessionTest : public ::testing::Test {
public:
    RaceSessionTest() {
        stub->addPlayer(1, QStringLiteral("Ann"), true);
        stub->addPlayer(2, QStringLiteral("Bob"));
        create(1);
        create(2);
    }
    void create(DPNID id) {
        bool reject = false;
        session.DirectPlay8Event_CreatePlayer(id, reject);
    }
    void receive(DPNID sender, const QByteArray& data) {
        dx8::DPNMSG_RECEIVE m;
        m.idSender = sender;
        m.ReceivedData = data;
        bool reject = false;
        session.DirectPlay8Event_Receive(m, reject);
    }
    void chat(const QString& line) {
        receive(2, orvel::BuildTextMessage(orvel::ChatMessage, line));
    }

    std::shared_ptr<orvel::testing::StubPeer> stub = std::make_shared<orvel::testing::StubPeer>();
    std::shared_ptr<dx8::DirectPlay8Peer> peer = stub;
    RaceSession session{peer};
    std::vector<std::string> log;
};

TEST_F(RaceSessionTest, ListenersMayComeAndGoWhileANotificationIsDelivered) {
    // Listeners A, B and C in that order; `change` (given the session, A, B and D) runs while A
    // (or C) hears line 1, then line 2 follows.
    using Change = std::function<void(RaceSession&, Hears&, Hears&, Hears&)>;
    const struct {
        const char* what;
        char inside;
        Change change;
        const char* expected;
    } cases[] = {
        {"nothing changes", 'A', [](RaceSession&, Hears&, Hears&, Hears&) {}, "A1 B1 C1 A2 B2 C2 "},
        {"A removes B", 'A', [](RaceSession& s, Hears&, Hears& b, Hears&) { s.removeListener(&b); },
         "A1 C1 A2 C2 "},
        {"A removes itself", 'A',
         [](RaceSession& s, Hears& a, Hears&, Hears&) { s.removeListener(&a); }, "A1 B1 C1 B2 C2 "},
        {"C removes A, who has heard line 1", 'C',
         [](RaceSession& s, Hears& a, Hears&, Hears&) { s.removeListener(&a); }, "A1 B1 C1 B2 C2 "},
        {"A adds D, who first hears line 2", 'A',
         [](RaceSession& s, Hears&, Hears&, Hears& d) { s.addListener(&d); },
         "A1 B1 C1 A2 B2 C2 D2 "},
        {"A adds itself again", 'A',
         [](RaceSession& s, Hears& a, Hears&, Hears&) { s.addListener(&a); }, "A1 B1 C1 A2 B2 C2 "},
        {"A removes B and adds it back: B comes last", 'A',
         [](RaceSession& s, Hears&, Hears& b, Hears&) {
             s.removeListener(&b);
             s.addListener(&b);
         },
         "A1 C1 A2 C2 B2 "},
        {"A removes B, then its own line x is told inside", 'A',
         [](RaceSession& s, Hears&, Hears& b, Hears&) {
             s.removeListener(&b);
             s.sendChat(QStringLiteral("x"));
         },
         "A1 Ax Cx C1 A2 C2 "},
    };
    for (const auto& c : cases) {
        RaceSession s{peer};
        std::string heard;
        Hears a("A", heard), b("B", heard), cc("C", heard), d("D", heard);
        for (Hears* h : {&a, &b, &cc}) {
            s.addListener(h);
        }
        (c.inside == 'A' ? a : cc).during = [&] { c.change(s, a, b, d); };
        for (const char* line : {"1", "2"}) {
            dx8::DPNMSG_RECEIVE m;
            m.idSender = 2;
            m.ReceivedData = orvel::BuildTextMessage(orvel::ChatMessage, QString::fromLatin1(line));
            bool reject = false;
            s.DirectPlay8Event_Receive(m, reject);
        }
        EXPECT_EQ(heard, c.expected) << c.what;
        for (Hears* h : {&a, &b, &cc, &d}) {
            s.removeListener(h);
        }
    }
}

// What orvel-bot prints comes from these: every report of the peer as it came, beside the
// session's own reading of it.
TEST_F(RaceSessionTest, AListenerHearsThePeersReportsAsTheyCame) {
    struct Case {
        const char* what;
        std::function<void(RaceSessionTest&)> action;
        std::vector<std::string> expected;
    };
    const auto destroy = [](DPNID id) {
        return [id](RaceSessionTest& t) {
            bool reject = false;
            t.session.DirectPlay8Event_DestroyPlayer(id, dx8::DPNDESTROYPLAYERREASON_NORMAL,
                                                     reject);
        };
    };
    const auto migrate = [](DPNID id) {
        return [id](RaceSessionTest& t) {
            bool reject = false;
            try {
                t.session.DirectPlay8Event_HostMigrate(id, reject);
            } catch (const dx8::DxError& e) {
                t.log.push_back("handler failed " + text(dx8::hresultHex(e.code())));
            }
        };
    };
    const auto connect = [](dx8::HRESULT result) {
        return [result](RaceSessionTest& t) {
            dx8::DPNMSG_CONNECT_COMPLETE m;
            m.hResultCode = result;
            bool reject = false;
            t.session.DirectPlay8Event_ConnectComplete(m, reject);
        };
    };
    const auto info = [](DPNID id) {
        return [id](RaceSessionTest& t) {
            t.stub->addPlayer(2, QStringLiteral("Bob (2)"));
            bool reject = false;
            t.session.DirectPlay8Event_InfoNotify(dx8::DPN_MSGID_PEER_INFO,
                                                  static_cast<int32_t>(id), reject);
            t.chat(QStringLiteral("hi"));  // the session keeps the name it was told first
        };
    };
    const auto car = [](DPNID sender) {
        return [sender](RaceSessionTest& t) {
            t.receive(sender, orvel::BuildCarStateMessage(orvel::CarState{}));
        };
    };
    const Case cases[] = {
        {"another player leaves", destroy(2), {"destroyed 2", "left Bob"}},
        {"oneself, at the session's end", destroy(1), {"destroyed 1"}},
        {"an id never reported", destroy(9), {"destroyed 9"}},
        {"the host moves to Bob", migrate(2), {"migrated 2", "host Bob"}},
        {"the host moves to one the peer no longer knows",
         migrate(9),
         {"migrated 9", "handler failed 0x80158420"}},
        {"Bob's new name", info(2), {"renamed 2 Bob (2)", "chat 2 Bob hi"}},
        {"news of one the peer does not know", info(9), {"chat 2 Bob hi"}},
        {"a car from Bob, in slot 1", car(2), {"car from 2", "car in slot 1"}},
        {"a car from one without a slot", car(9), {"car from 9"}},
        {"the join completes", connect(dx8::DPN_OK), {"connected"}},
        {"the join fails", connect(dx8::DPNERR_NORESPONSE), {"failed 0x80158510"}},
    };
    Notes listener(log);
    session.addListener(&listener);
    for (const Case& c : cases) {
        log.clear();
        stub->addPlayer(2, QStringLiteral("Bob"));
        c.action(*this);
        EXPECT_EQ(log, c.expected) << c.what;
        if (session.nameOf(2).isEmpty()) {
            create(2);  // Bob back for the next row
        }
    }
    session.removeListener(&listener);
}

}  // namespace
