#include "net/session/session_protocol.h"

#include <QStringDecoder>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "common/packet.h"
#include "common/shown_text.h"

namespace dx8::net {

namespace {

constexpr char kQueryMagic[4] = {'O', 'R', 'V', 'Q'};
constexpr char kAnswerMagic[4] = {'O', 'R', 'V', 'A'};

// The session's fields: texts with a 16-bit count, blobs with an 8-bit one.
class Writer : public orvel::packet::Writer {
public:
    void text(const QString& s, int maxBytes = kMaxTextBytes) {
        orvel::packet::Writer::text(s, 2, maxBytes);
    }
    // An 8-bit byte count, then the bytes (at most kMaxBlobBytes).
    void blob(const QByteArray& b) {
        const QByteArray cut = b.left(kMaxBlobBytes);
        u8(static_cast<uint8_t>(cut.size()));
        bytes().append(cut);
    }
};

class Reader : public orvel::packet::Reader {
public:
    using orvel::packet::Reader::Reader;
    QString text() { return orvel::packet::Reader::text(2, kMaxTextBytes); }
    QByteArray blob() {
        const uint8_t n = u8();
        if (n > kMaxBlobBytes) {
            fail();
        }
        const uint8_t* p = ok() ? take(n) : nullptr;
        return p == nullptr ? QByteArray() : QByteArray(reinterpret_cast<const char*>(p), n);
    }
};

}  // namespace

// ---- Discovery ----------------------------------------------------------------------------------

QByteArray encodeQuery(const DiscoveryQuery& query) {
    Writer w;
    w.raw(kQueryMagic, 4);
    w.u16(kProtocolVersion);
    w.u16(0);
    w.u32(query.nonce);
    w.u32(query.sentMs);
    w.uuid(query.application);
    // Padding: the fixed size is what lets a host keep its answers to a small multiple.
    w.bytes().resize(kQuerySize, '\0');
    return w.bytes();
}

bool looksLikeQuery(const uint8_t* data, size_t size) {
    return size >= 4 && std::memcmp(data, kQueryMagic, 4) == 0;
}

std::optional<DiscoveryQuery> decodeQuery(const uint8_t* data, size_t size) {
    if (size != static_cast<size_t>(kQuerySize)) {
        return std::nullopt;
    }
    Reader r(data, size);
    r.magic(kQueryMagic);
    const uint16_t version = r.u16();
    r.u16();
    DiscoveryQuery q;
    q.nonce = r.u32();
    q.sentMs = r.u32();
    q.application = r.uuid();
    if (!r.ok() || version != kProtocolVersion) {
        return std::nullopt;
    }
    return q;
}

QByteArray encodeAnswer(const DiscoveryAnswer& answer) {
    Writer w;
    w.raw(kAnswerMagic, 4);
    w.u16(kProtocolVersion);
    w.u32(answer.nonce);
    w.u32(answer.sentMs);
    w.uuid(answer.instance);
    w.uuid(answer.application);
    w.i32(answer.maxPlayers);
    w.i32(answer.currentPlayers);
    w.i32(answer.flags);
    w.u8(answer.passwordRequired ? 1 : 0);
    const int room = kMaxAnswerSize - static_cast<int>(w.bytes().size()) - 2;
    w.text(answer.sessionName, room);
    return w.bytes();
}

std::optional<DiscoveryAnswer> decodeAnswer(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(kMaxAnswerSize)) {
        return std::nullopt;
    }
    Reader r(data, size);
    r.magic(kAnswerMagic);
    const uint16_t version = r.u16();
    DiscoveryAnswer a;
    a.nonce = r.u32();
    a.sentMs = r.u32();
    a.instance = r.uuid();
    a.application = r.uuid();
    a.maxPlayers = r.i32();
    a.currentPlayers = r.i32();
    a.flags = r.i32();
    const uint8_t password = r.u8();
    a.sessionName = orvel::shownText(r.text(), kMaxAnswerSize);
    if (!r.atEnd() || version != kProtocolVersion || password > 1 || a.instance.isNull() ||
        a.maxPlayers < 0 || a.currentPlayers < 0) {
        return std::nullopt;
    }
    a.passwordRequired = password == 1;
    return a;
}

// ---- Control messages ---------------------------------------------------------------------------

namespace {

void put(Writer& w, uint8_t v) {
    w.u8(v);
}
void put(Writer& w, uint16_t v) {
    w.u16(v);
}
void put(Writer& w, uint32_t v) {
    w.u32(v);
}
void put(Writer& w, uint64_t v) {
    w.u64(v);
}
void put(Writer& w, int32_t v) {
    w.i32(v);
}
void put(Writer& w, const QUuid& v) {
    w.uuid(v);
}
void put(Writer& w, const QString& v) {
    w.text(v);
}
void put(Writer& w, const QByteArray& v) {
    w.blob(v);
}
template <typename T>
void putFields(Writer& w, const T& value) {
    std::apply([&w](const auto&... f) { (put(w, f), ...); }, value.fields());
}
void put(Writer& w, const SessionDesc& v) {
    putFields(w, v);
}
void put(Writer& w, const PlayerEntry& v) {
    putFields(w, v);
}
void put(Writer& w, const std::vector<PlayerEntry>& list) {
    const size_t n = std::min<size_t>(list.size(), kMaxPlayersListed);
    w.u8(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) {
        putFields(w, list[i]);
    }
}

void put(Writer& w, const std::vector<uint32_t>& list) {
    const size_t n = std::min<size_t>(list.size(), kMaxPlayersListed);
    w.u8(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) {
        w.u32(list[i]);
    }
}

void get(Reader& r, uint8_t& v) {
    v = r.u8();
}
void get(Reader& r, uint16_t& v) {
    v = r.u16();
}
void get(Reader& r, uint32_t& v) {
    v = r.u32();
}
void get(Reader& r, uint64_t& v) {
    v = r.u64();
}
void get(Reader& r, int32_t& v) {
    v = r.i32();
}
void get(Reader& r, QUuid& v) {
    v = r.uuid();
}
void get(Reader& r, QString& v) {
    v = r.text();
}
void get(Reader& r, QByteArray& v) {
    v = r.blob();
}
template <typename T>
void getFields(Reader& r, T& value) {
    std::apply([&r](auto&... f) { (get(r, f), ...); }, value.fields());
}
void get(Reader& r, SessionDesc& v) {
    getFields(r, v);
    v.name = orvel::shownText(v.name, kMaxTextBytes);
}
void get(Reader& r, PlayerEntry& v) {
    getFields(r, v);
    v.name = orvel::playerName(v.name);
}
void get(Reader& r, std::vector<PlayerEntry>& list) {
    const uint8_t n = r.u8();
    if (n > kMaxPlayersListed) {
        r.take(SIZE_MAX);  // marks the reader failed
        return;
    }
    for (uint8_t i = 0; i < n && r.ok(); ++i) {
        PlayerEntry p;
        get(r, p);
        list.push_back(std::move(p));
    }
}

void get(Reader& r, std::vector<uint32_t>& list) {
    const uint8_t n = r.u8();
    if (n > kMaxPlayersListed) {
        r.take(SIZE_MAX);
        return;
    }
    for (uint8_t i = 0; i < n && r.ok(); ++i) {
        list.push_back(r.u32());
    }
}

template <size_t I = 0>
std::optional<ControlMessage> decodeAs(size_t index, Reader& r) {
    if constexpr (I < std::variant_size_v<ControlMessage>) {
        if (index != I) {
            return decodeAs<I + 1>(index, r);
        }
        std::variant_alternative_t<I, ControlMessage> m;
        getFields(r, m);
        if constexpr (requires { m.name; }) {
            m.name = orvel::playerName(m.name);
        }
        // Bytes past the layout are ignored: a later version may append fields.
        if (!r.ok()) {
            return std::nullopt;
        }
        return ControlMessage(std::in_place_index<I>, std::move(m));
    } else {
        return std::nullopt;
    }
}

}  // namespace

QByteArray encodeControl(const ControlMessage& m) {
    Writer w;
    w.u8(static_cast<uint8_t>(typeOf(m)));
    std::visit([&w](const auto& body) { putFields(w, body); }, m);
    return w.bytes();
}

std::optional<ControlMessage> decodeControl(const uint8_t* data, size_t size) {
    Reader r(data, size);
    const uint8_t type = r.u8();
    if (!r.ok() || type < static_cast<uint8_t>(Ctl::JoinRequest) ||
        type > static_cast<uint8_t>(kLastCtl)) {
        return std::nullopt;
    }
    return decodeAs(type - 1u, r);
}

ControlMessage joinRequest(QUuid application, QUuid instance, QString name) {
    msg::JoinRequest m;
    m.application = application;
    m.instance = instance;
    m.name = std::move(name);
    return m;
}
ControlMessage joinRefuse(int32_t result) {
    return msg::JoinRefuse{result};
}
ControlMessage joinFail(int32_t result) {
    return msg::JoinFail{result};
}
ControlMessage terminate(int32_t result) {
    return msg::Terminate{result};
}
ControlMessage expect(uint32_t playerId, uint64_t token, uint32_t ipv4, uint16_t port) {
    return msg::Expect{playerId, token, ipv4, port};
}
ControlMessage meshHello(uint32_t playerId, uint64_t proof) {
    return msg::MeshHello{playerId, proof};
}
ControlMessage meshAck(uint64_t proof) {
    return msg::MeshAck{proof};
}
ControlMessage joinDone() {
    return msg::JoinDone{};
}
ControlMessage playerAdded(uint32_t playerId, uint32_t seq, QString name) {
    return msg::PlayerAdded{playerId, seq, std::move(name)};
}
ControlMessage addedAck(uint32_t playerId) {
    return msg::AddedAck{playerId};
}
ControlMessage playerRemoved(uint32_t playerId, uint8_t reason) {
    return msg::PlayerRemoved{playerId, reason};
}
ControlMessage leaving() {
    return msg::Leaving{};
}
ControlMessage info(QString name) {
    return msg::Info{std::move(name)};
}

}  // namespace dx8::net
