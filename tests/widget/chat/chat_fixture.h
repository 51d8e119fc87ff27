#pragma once

// The main window on the offscreen platform with everything around it faked: a game in a fake
// process table (FakeOs), a peer that records what is sent and answers player queries, a wizard
// that records close requests, and message boxes caught by the hook.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "common/orvel_globals.h"
#include "fake_os.h"
#include "game_link/game_memory_map.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "platform/dx8/directx8.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"
#include "stub_peer.h"
#include "ui_common/message_box.h"

namespace chat_test {

using dx8::DPNID;

// What happened, in order, across the boxes and the close requests.
inline QStringList& journal() {
    static QStringList entries;
    return entries;
}

using FakePeer = orvel::testing::StubPeer;

class FakeWizard : public orvel::ConnectWizard {
public:
    std::vector<QObject*> closed;

    bool StartConnectWizard(std::shared_ptr<dx8::DirectX8>, std::shared_ptr<dx8::DirectPlay8Peer>,
                            const QString&, int32_t, dx8::DirectPlay8Event*, bool) override {
        return true;
    }
    void CloseForm(QObject* oForm) override {
        closed.push_back(oForm);
        journal() << QStringLiteral("CloseForm");
    }
    void DoSleep(int32_t) override {}
    bool IsHost() const override { return false; }
    QString SessionName() const override { return {}; }
    QString UserName() const override { return QStringLiteral("Ann"); }
    void GoUnload() override {}
    int32_t NumPlayers() const override { return 6; }
};

struct Box {
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

constexpr uint32_t kGameWindow = 9;
constexpr uint32_t kGamePid = 12;
constexpr uint32_t kDataBegin = 0x536000;
constexpr uint32_t kDataEnd = 0x5FF000;

// The byte the fake game holds at an address nobody wrote.
inline uint8_t canary(uint32_t a) {
    return static_cast<uint8_t>(0xA5 ^ (a & 0xFF) ^ ((a >> 8) & 0xFF));
}

class ChatFixture : public ::testing::Test {
protected:
    void SetUp() override {
        journal().clear();
        peer = std::make_shared<FakePeer>();
        dx.dpPeer = peer;
        auto w = std::make_unique<FakeWizard>();
        wizard = w.get();
        dx.connectWizard = std::move(w);
        orvel::SetMessageBoxHook([this](QWidget* parent, const QString& text,
                                        const QString& caption, QMessageBox::Icon icon) {
            EXPECT_EQ(parent, window.get());
            boxes.push_back({text, caption, icon});
            journal() << QStringLiteral("box ") + caption;
        });
        window = std::make_unique<orvel::frmChat>(dx);
        // The game link's own tick is not under test here.
        window->Timer1->stop();
        window->localPlayerName = QStringLiteral("Ann");
    }

    void TearDown() override {
        window.reset();
        orvel::SetMessageBoxHook({});
    }

    // A game window whose process maps the game's data range, every byte at its canary, and
    // already attached. On the menu until race(true).
    void startGame() {
        scope.os.addWindow(kGameWindow, orvel::GameTitle, kGamePid);
        scope.os.map(kGamePid, kDataBegin, kDataEnd - kDataBegin);
        for (uint32_t a = kDataBegin; a < kDataEnd; ++a) {
            *scope.os.at(kGamePid, a) = canary(a);
        }
        orvel::Memory::AttachGame(orvel::GameTitle);
        race(false);
    }
    // Race on or off in the edition of gameVersion (the other edition's values stay canary).
    void race(bool on) {
        const orvel::gamemap::Edition& e = orvel::gamemap::edition(orvel::gameVersion);
        scope.os.pokeFloat(kGamePid, e.playValue, on ? 12.5f : 0.0f);
        scope.os.pokeLong(kGamePid, e.statusWord, on ? 0 : 1);
        snapshot();
    }
    // From here on, changes() reports what differs.
    void snapshot() {
        before_.assign(scope.os.at(kGamePid, kDataBegin), scope.os.at(kGamePid, kDataEnd - 1) + 1);
        scope.os.calls.clear();
    }
    // Ranges [address, length) of the game's data that changed since the snapshot.
    std::vector<std::pair<uint32_t, uint32_t>> changes() {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (uint32_t i = 0; i < before_.size(); ++i) {
            if (*scope.os.at(kGamePid, kDataBegin + i) != before_[i]) {
                if (!out.empty() && out.back().first + out.back().second == kDataBegin + i) {
                    ++out.back().second;
                } else {
                    out.push_back({kDataBegin + i, 1});
                }
            }
        }
        return out;
    }
    // n bytes of the game's memory.
    QByteArray bytesAt(uint32_t address, uint32_t n) {
        const auto v = scope.os.peek(kGamePid, address, n);
        return QByteArray(reinterpret_cast<const char*>(v.data()),
                          static_cast<qsizetype>(v.size()));
    }
    std::vector<orvel::testing::FakeOs::Call> writes() {
        return scope.os.callsOf(orvel::testing::FakeOs::Kind::Write);
    }

    // The platform's notifications, as the peer delivers them to the race session.
    orvel::RaceSession& session() { return dx.raceSession; }
    void create(DPNID id) {
        bool reject = false;
        session().DirectPlay8Event_CreatePlayer(id, reject);
        EXPECT_FALSE(reject);
    }
    void destroy(DPNID id) {
        bool reject = false;
        session().DirectPlay8Event_DestroyPlayer(id, dx8::DPNDESTROYPLAYERREASON_NORMAL, reject);
        EXPECT_FALSE(reject);
    }
    void receive(DPNID sender, const QByteArray& data) {
        dx8::DPNMSG_RECEIVE m;
        m.idSender = sender;
        m.ReceivedData = data;
        m.lDataSize = static_cast<int32_t>(data.size());
        bool reject = false;
        session().DirectPlay8Event_Receive(m, reject);
        EXPECT_FALSE(reject);
    }

    struct Player {
        DPNID id;
        const char* name;
        bool local = false;
    };
    // Players the peer knows, each announced to the window in turn.
    void join(std::initializer_list<Player> players) {
        for (const Player& p : players) {
            peer->addPlayer(p.id, QString::fromUtf8(p.name), p.local);
            create(p.id);
        }
    }

    // Exactly count boxes so far, the last one saying text under caption (with icon: if given).
    ::testing::AssertionResult lastBox(size_t count, const QString& text, const QString& caption,
                                       std::optional<QMessageBox::Icon> icon = {}) const {
        if (boxes.size() != count) {
            return ::testing::AssertionFailure() << boxes.size() << " boxes, not " << count;
        }
        const Box& b = boxes.back();
        if (b.text != text || b.caption != caption || (icon && b.icon != *icon)) {
            return ::testing::AssertionFailure()
                   << "box \"" << b.text.toStdString() << "\" / \"" << b.caption.toStdString()
                   << "\" / icon " << b.icon;
        }
        return ::testing::AssertionSuccess();
    }

    QString history() const { return window->txtChat->text(); }
    QStringList rosterNames() const {
        QStringList out;
        for (int i = 0; i < window->lstUsers->count(); ++i) {
            out << window->lstUsers->item(i)->text();
        }
        return out;
    }
    std::vector<uint32_t> rosterIds() const {
        std::vector<uint32_t> out;
        for (int i = 0; i < window->lstUsers->count(); ++i) {
            out.push_back(window->lstUsers->item(i)->data(Qt::UserRole).toUInt());
        }
        return out;
    }
    std::vector<uint32_t> carSlots() {
        std::vector<uint32_t> out;
        for (int n = 1; n <= 5; ++n) {
            out.push_back(session().slotPlayerIds()(n));
        }
        return out;
    }

    orvel::testing::FakeOsScope scope;
    orvel::ModDplay dx;
    std::shared_ptr<FakePeer> peer;
    FakeWizard* wizard = nullptr;
    std::vector<Box> boxes;
    std::unique_ptr<orvel::frmChat> window;

private:
    std::vector<uint8_t> before_;
};

// A car state whose every byte tells its own place: byte i holds seed + i.
inline orvel::CarState carState(uint8_t seed) {
    orvel::CarState s{};
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<uint8_t>(seed + i);
    }
    return s;
}

}  // namespace chat_test
