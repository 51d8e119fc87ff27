#include "platform/dx8/session_protocol.h"

#include <QStringDecoder>
#include <cstring>

namespace dx8::net {

namespace {

constexpr char kQueryMagic[4] = {'O', 'R', 'V', 'Q'};
constexpr char kAnswerMagic[4] = {'O', 'R', 'V', 'A'};

class Writer {
public:
    void u8(uint8_t v) { out_.append(static_cast<char>(v)); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void raw(const char* data, qsizetype n) { out_.append(data, n); }
    void uuid(const QUuid& id) { out_.append(id.toRfc4122()); }
    // A 16-bit byte count and UTF-8, cut at a character boundary to at most maxBytes.
    void text(const QString& s, int maxBytes = kMaxTextBytes) {
        QByteArray utf8 = s.toUtf8();
        if (utf8.size() > maxBytes) {
            qsizetype cut = maxBytes;
            while (cut > 0 && (static_cast<uchar>(utf8[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            utf8.truncate(cut);
        }
        u16(static_cast<uint16_t>(utf8.size()));
        out_.append(utf8);
    }
    QByteArray& bytes() { return out_; }

private:
    QByteArray out_;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    bool atEnd() const { return ok_ && pos_ == size_; }
    size_t remaining() const { return size_ - pos_; }

    bool take(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }
    uint8_t u8() {
        if (!take(1)) {
            return 0;
        }
        return data_[pos_++];
    }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    uint64_t u64() {
        const uint64_t lo = u32();
        return lo | (static_cast<uint64_t>(u32()) << 32);
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    QUuid uuid() {
        if (!take(16)) {
            return {};
        }
        const QUuid id =
            QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char*>(data_ + pos_), 16));
        pos_ += 16;
        return id;
    }
    void skip(size_t n) {
        if (take(n)) {
            pos_ += n;
        }
    }
    QString text() {
        const uint16_t n = u16();
        if (n > kMaxTextBytes || !take(n)) {
            ok_ = false;
            return {};
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString s = utf8(QByteArrayView(reinterpret_cast<const char*>(data_ + pos_), n));
        pos_ += n;
        if (utf8.hasError()) {
            ok_ = false;
            return {};
        }
        return s;
    }
    bool magic(const char (&m)[4]) {
        if (!take(4) || std::memcmp(data_ + pos_, m, 4) != 0) {
            ok_ = false;
            return false;
        }
        pos_ += 4;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
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
    a.sessionName = r.text();
    if (!r.atEnd() || version != kProtocolVersion || password > 1 || a.instance.isNull() ||
        a.maxPlayers < 0 || a.currentPlayers < 0) {
        return std::nullopt;
    }
    a.passwordRequired = password == 1;
    return a;
}

// ---- Control messages ---------------------------------------------------------------------------

namespace {

void writeDesc(Writer& w, const SessionDesc& d) {
    w.uuid(d.instance);
    w.uuid(d.application);
    w.i32(d.maxPlayers);
    w.i32(d.flags);
    w.text(d.name);
}

SessionDesc readDesc(Reader& r) {
    SessionDesc d;
    d.instance = r.uuid();
    d.application = r.uuid();
    d.maxPlayers = r.i32();
    d.flags = r.i32();
    d.name = r.text();
    return d;
}

}  // namespace

QByteArray encodeControl(const ControlMessage& m) {
    Writer w;
    w.u8(static_cast<uint8_t>(m.type));
    switch (m.type) {
        case Ctl::JoinRequest:
            w.u16(m.version);
            w.uuid(m.application);
            w.uuid(m.instance);
            w.text(m.name);
            w.text(m.password);
            break;
        case Ctl::JoinRefuse:
        case Ctl::JoinFail:
        case Ctl::Terminate:
            w.i32(m.result);
            break;
        case Ctl::JoinAccept: {
            w.u32(m.playerId);
            w.u32(m.hostId);
            w.u32(m.seq);
            w.u32(m.nextSeq);
            w.u32(m.idSalt);
            w.u64(m.token);
            writeDesc(w, m.desc);
            const size_t n = std::min<size_t>(m.players.size(), kMaxPlayersListed);
            w.u8(static_cast<uint8_t>(n));
            for (size_t i = 0; i < n; ++i) {
                const PlayerEntry& p = m.players[i];
                w.u32(p.id);
                w.u32(p.seq);
                w.text(p.name);
                w.u32(p.ipv4);
                w.u16(p.port);
            }
            break;
        }
        case Ctl::Expect:
            w.u32(m.playerId);
            w.u64(m.token);
            w.u32(m.ipv4);
            w.u16(m.port);
            break;
        case Ctl::MeshHello:
            w.u32(m.playerId);
            w.u64(m.token);
            break;
        case Ctl::PlayerAdded:
            w.u32(m.playerId);
            w.u32(m.seq);
            w.text(m.name);
            break;
        case Ctl::AddedAck:
            w.u32(m.playerId);
            break;
        case Ctl::PlayerRemoved:
            w.u32(m.playerId);
            w.u8(m.reason);
            break;
        case Ctl::Info:
            w.text(m.name);
            break;
        case Ctl::MeshAck:
        case Ctl::JoinReady:
        case Ctl::JoinDone:
        case Ctl::Leaving:
            break;
    }
    return w.bytes();
}

std::optional<ControlMessage> decodeControl(const uint8_t* data, size_t size) {
    Reader r(data, size);
    ControlMessage m;
    const uint8_t type = r.u8();
    if (!r.ok() || type < static_cast<uint8_t>(Ctl::JoinRequest) ||
        type > static_cast<uint8_t>(Ctl::Info)) {
        return std::nullopt;
    }
    m.type = static_cast<Ctl>(type);
    switch (m.type) {
        case Ctl::JoinRequest:
            m.version = r.u16();
            m.application = r.uuid();
            m.instance = r.uuid();
            m.name = r.text();
            m.password = r.text();
            break;
        case Ctl::JoinRefuse:
        case Ctl::JoinFail:
        case Ctl::Terminate:
            m.result = r.i32();
            break;
        case Ctl::JoinAccept: {
            m.playerId = r.u32();
            m.hostId = r.u32();
            m.seq = r.u32();
            m.nextSeq = r.u32();
            m.idSalt = r.u32();
            m.token = r.u64();
            m.desc = readDesc(r);
            const uint8_t n = r.u8();
            if (n > kMaxPlayersListed) {
                return std::nullopt;
            }
            for (uint8_t i = 0; i < n && r.ok(); ++i) {
                PlayerEntry p;
                p.id = r.u32();
                p.seq = r.u32();
                p.name = r.text();
                p.ipv4 = r.u32();
                p.port = r.u16();
                m.players.push_back(std::move(p));
            }
            break;
        }
        case Ctl::Expect:
            m.playerId = r.u32();
            m.token = r.u64();
            m.ipv4 = r.u32();
            m.port = r.u16();
            break;
        case Ctl::MeshHello:
            m.playerId = r.u32();
            m.token = r.u64();
            break;
        case Ctl::PlayerAdded:
            m.playerId = r.u32();
            m.seq = r.u32();
            m.name = r.text();
            break;
        case Ctl::AddedAck:
            m.playerId = r.u32();
            break;
        case Ctl::PlayerRemoved:
            m.playerId = r.u32();
            m.reason = r.u8();
            break;
        case Ctl::Info:
            m.name = r.text();
            break;
        case Ctl::MeshAck:
        case Ctl::JoinReady:
        case Ctl::JoinDone:
        case Ctl::Leaving:
            break;
    }
    if (!r.atEnd()) {
        return std::nullopt;
    }
    return m;
}

}  // namespace dx8::net
