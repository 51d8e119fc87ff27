#include "net/paths/meet_protocol.h"

#include "common/packet.h"

#include <algorithm>
#include <cstring>

namespace orvel::meet {

namespace {

constexpr char kMagic[4] = {'O', 'R', 'V', 'M'};
constexpr uint8_t kVersion = 1;
// Five bits a symbol: digits and capitals without I, L, O and U, the ones read for others.
constexpr char kSymbols[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// Appends the fields of a message; a field's encoding is chosen by its C++ type.
struct Out {
    packet::Writer w;

    void put(uint8_t v) { w.u8(v); }
    void put(uint16_t v) { w.u16(v); }
    void put(uint32_t v) { w.u32(v); }
    void put(uint64_t v) { w.u64(v); }
    void put(Code v) { w.le(v.bits, 5); }
    void put(const Secret& v) { w.raw(v.data(), static_cast<qsizetype>(v.size())); }
    void put(const Endpoint& v) { putAll(v); }
    void put(const QString& v) { w.text(v, 1, kMaxNameBytes); }
    void put(const std::vector<Endpoint>& v) {
        const size_t n = std::min<size_t>(v.size(), kMaxLanAddresses);
        put(static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; ++i) {
            put(v[i]);
        }
    }
    template <typename T>
    void putAll(const T& message) {
        std::apply([&](const auto&... f) { (put(f), ...); }, message.fields());
    }
};

// Reads fields back; any field out of range or past the end spoils the whole read.
struct In {
    packet::Reader r;

    void get(uint8_t& v) { v = r.u8(); }
    void get(uint16_t& v) { v = r.u16(); }
    void get(uint32_t& v) { v = r.u32(); }
    void get(uint64_t& v) { v = r.u64(); }
    void get(Code& v) { v.bits = r.le(5); }
    void get(Secret& v) {
        if (const uint8_t* p = r.take(v.size())) {
            std::memcpy(v.data(), p, v.size());
        }
    }
    void get(Endpoint& v) { getAll(v); }
    void get(QString& v) {
        v = r.text(1, kMaxNameBytes);
        const bool control = std::any_of(v.cbegin(), v.cend(), [](QChar c) {
            return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0);
        });
        if (control) {
            r.fail();
        }
    }
    void get(std::vector<Endpoint>& v) {
        const size_t n = r.u8();
        if (n > kMaxLanAddresses) {
            r.fail();
        }
        for (size_t i = 0; r.ok() && i < n; ++i) {
            get(v.emplace_back());
        }
    }
    template <typename T>
    void getAll(T& message) {
        std::apply([&](auto&... f) { (get(f), ...); }, message.fields());
    }
};

bool inRange(const Message& m) {
    return std::visit(
        [](const auto& body) {
            if constexpr (requires { body.code; }) {
                return body.code.bits <= kCodeMask;
            } else {
                return true;
            }
        },
        m);
}

template <size_t I = 0>
std::optional<Message> decodeKind(size_t index, In& in) {
    if constexpr (I < std::variant_size_v<Message>) {
        if (index != I) {
            return decodeKind<I + 1>(index, in);
        }
        Message m(std::in_place_index<I>);
        in.getAll(std::get<I>(m));
        if (!in.r.atEnd() || !inRange(m)) {
            return std::nullopt;
        }
        return m;
    } else {
        return std::nullopt;
    }
}

}  // namespace

QString endpointText(Endpoint e) {
    return QStringLiteral("%1.%2.%3.%4:%5")
        .arg(e.ip >> 24)
        .arg((e.ip >> 16) & 0xFF)
        .arg((e.ip >> 8) & 0xFF)
        .arg(e.ip & 0xFF)
        .arg(e.port);
}

QString formatCode(Code code) {
    QString text;
    for (int i = 7; i >= 0; --i) {
        text.append(QLatin1Char(kSymbols[(code.bits >> (5 * i)) & 31]));
        if (i == 4) {
            text.append(QLatin1Char('-'));
        }
    }
    return text;
}

std::optional<Code> parseCode(const QString& text) {
    uint64_t bits = 0;
    int symbols = 0;
    for (QChar c : text.toUpper()) {
        if (c == QLatin1Char('-') || c.isSpace()) {
            continue;
        }
        switch (c.unicode()) {
            case 'O':
                c = QLatin1Char('0');
                break;
            case 'I':
            case 'L':
                c = QLatin1Char('1');
                break;
            case 'U':
                c = QLatin1Char('V');
                break;
            default:
                break;
        }
        const char* at = c.unicode() < 128 && c.unicode() != 0
                             ? std::strchr(kSymbols, static_cast<char>(c.unicode()))
                             : nullptr;
        if (at == nullptr || ++symbols > 8) {
            return std::nullopt;
        }
        bits = (bits << 5) | static_cast<uint64_t>(at - kSymbols);
    }
    if (symbols != 8) {
        return std::nullopt;
    }
    return Code{bits};
}

QString describe(Problem problem) {
    switch (problem) {
        case Problem::UnknownCode:
            return QStringLiteral(
                "no session has that code (check it, or ask the host for a new one)");
        case Problem::RateLimited:
            return QStringLiteral("the meeting point is busy with this address; wait a minute");
        case Problem::NotHost:
            return QStringLiteral("the session has another host now");
        case Problem::Full:
            return QStringLiteral("the meeting point takes no more sessions or relays now");
        case Problem::CodeTaken:
            return QStringLiteral("the code belongs to another session now");
        case Problem::NoPair:
            return QStringLiteral("the meeting point has no relay for that player");
        case Problem::NoAnswer:
            return QStringLiteral("the meeting point does not answer");
    }
    return QStringLiteral("the meeting point refused");
}

bool isMeetDatagram(const uint8_t* data, size_t size) {
    return size >= kHeaderSize && std::memcmp(data, kMagic, sizeof kMagic) == 0 &&
           data[4] == kVersion;
}

QByteArray encode(const Message& message) {
    Out out;
    out.w.bytes().reserve(static_cast<qsizetype>(kMaxDatagramSize));
    out.w.raw(kMagic, sizeof kMagic);
    out.put(kVersion);
    out.put(static_cast<uint8_t>(message.index() + 1));
    std::visit([&out](const auto& body) { out.putAll(body); }, message);
    return out.w.bytes();
}

std::optional<Message> decode(const uint8_t* data, size_t size) {
    if (!isMeetDatagram(data, size) || size > kMaxDatagramSize) {
        return std::nullopt;
    }
    const uint8_t kind = data[5];
    if (kind == 0 || kind > std::variant_size_v<Message>) {
        return std::nullopt;
    }
    In in{packet::Reader(data, size)};
    in.r.skip(kHeaderSize);
    return decodeKind(kind - 1u, in);
}

std::optional<uint64_t> cookieOf(const Message& message) {
    return std::visit(
        [](const auto& body) -> std::optional<uint64_t> {
            if constexpr (requires { body.cookie; }) {
                return body.cookie;
            } else {
                return std::nullopt;
            }
        },
        message);
}

}  // namespace orvel::meet
