#pragma once

// A session host played by the test itself on raw ENet, in a thread of its own: it takes joiners
// by the book (accept, expect, added, done) and can then leave towards one player only while it
// stays linked to the others, as a host does whose goodbye reaches some players long before the
// rest.

#include <enet/enet.h>

#include <QRandomGenerator>
#include <QString>
#include <QUuid>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "net/session/session_protocol.h"

namespace orvel::testing {

class ScriptedHost {
public:
    explicit ScriptedHost(int32_t sessionFlags) : flags_(sessionFlags) {
        enet_initialize();
        ENetAddress address;
        enet_address_set_host_ip(&address, "127.0.0.1");
        address.port = ENET_PORT_ANY;
        host_ = enet_host_create(&address, 16, dx8::net::kChannelCount, 0, 0);
        if (host_ != nullptr) {
            port_ = host_->address.port;
            thread_ = std::thread([this] { run(); });
        }
    }
    ~ScriptedHost() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (host_ != nullptr) {
            enet_host_destroy(host_);
        }
    }
    ScriptedHost(const ScriptedHost&) = delete;
    ScriptedHost& operator=(const ScriptedHost&) = delete;

    uint16_t port() const { return port_; }
    // Stops answering anyone, without a goodbye: its links go dark.
    void vanish() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Says goodbye to the named player and drops its link; the other links stay up.
    void leaveTowards(const QString& name) {
        std::lock_guard lock(mutex_);
        leaveTowards_.push_back(name);
    }

private:
    struct Member {
        ENetPeer* peer = nullptr;
        uint32_t id = 0;
        uint32_t seq = 0;
        QString name;
        bool ready = false;
    };

    void send(ENetPeer* peer, const dx8::net::ControlMessage& m) {
        const QByteArray b = dx8::net::encodeControl(m);
        ENetPacket* packet = enet_packet_create(b.constData(), static_cast<size_t>(b.size()),
                                                ENET_PACKET_FLAG_RELIABLE);
        if (enet_peer_send(peer, dx8::net::kChannelControl, packet) < 0) {
            enet_packet_destroy(packet);
        }
    }
    uint32_t idOf(uint32_t seq) const { return salt_ + seq * 0x9E3779B1u; }

    void onControl(ENetPeer* peer, const dx8::net::ControlMessage& m) {
        namespace msg = dx8::net::msg;
        if (const auto* request = std::get_if<msg::JoinRequest>(&m)) {
            Member joiner{peer, idOf(nextSeq_), nextSeq_, request->name, false};
            ++nextSeq_;
            msg::JoinAccept accept;
            accept.playerId = joiner.id;
            accept.hostId = idOf(0);
            accept.seq = joiner.seq;
            accept.nextSeq = nextSeq_;
            accept.idSalt = salt_;
            accept.name = request->name;
            accept.desc = {instance_,
                           QUuid(QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}")), 6,
                           flags_, QStringLiteral("scripted")};
            accept.players.push_back({idOf(0), 0, QStringLiteral("h"), 0, port_});
            for (const Member& p : members_) {
                if (p.ready) {  // a token for each pair
                    const uint64_t token = QRandomGenerator::global()->generate64();
                    accept.players.push_back(
                        {p.id, p.seq, p.name, 0x7F000001, p.peer->address.port, 0, 0, 0, 0, token});
                    send(p.peer,
                         dx8::net::expect(joiner.id, token, 0x7F000001, peer->address.port));
                }
            }
            send(peer, accept);
            members_.push_back(joiner);
        } else if (std::holds_alternative<msg::JoinReady>(m)) {
            for (Member& j : members_) {
                if (j.peer != peer || j.ready) {
                    continue;
                }
                const auto added = dx8::net::playerAdded(j.id, j.seq, j.name);
                for (const Member& p : members_) {
                    if (p.ready) {
                        send(p.peer, added);
                    }
                }
                j.ready = true;
                send(peer, dx8::net::joinDone());
            }
        }
    }

    void run() {
        while (!stop_) {
            std::vector<QString> leaving;
            {
                std::lock_guard lock(mutex_);
                leaving.swap(leaveTowards_);
            }
            for (const QString& name : leaving) {
                for (const Member& p : members_) {
                    if (p.name == name) {
                        send(p.peer, dx8::net::leaving());
                        enet_peer_disconnect_later(p.peer, 0);
                    }
                }
            }
            ENetEvent e;
            if (enet_host_service(host_, &e, 10) <= 0) {
                continue;
            }
            if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                const auto m = dx8::net::decodeControl(e.packet->data, e.packet->dataLength);
                const bool control = e.channelID == dx8::net::kChannelControl;
                enet_packet_destroy(e.packet);
                if (control && m) {
                    onControl(e.peer, *m);
                }
            }
        }
    }

    const int32_t flags_;
    const uint32_t salt_ = QRandomGenerator::global()->generate() | 1u;
    const QUuid instance_ = QUuid::createUuid();
    uint32_t nextSeq_ = 1;
    ENetHost* host_ = nullptr;
    uint16_t port_ = 0;
    std::vector<Member> members_;
    std::mutex mutex_;
    std::vector<QString> leaveTowards_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace orvel::testing
