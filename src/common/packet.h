#pragma once

// Little-endian binary packets: the one writer and reader behind every binary wire format of
// the program (the session's messages and discovery, the meeting point's datagrams, the players'
// own messages). The reader takes untrusted bytes and fails closed: once a read runs past the
// end or a field is out of bounds, ok() stays false and every later read gives zero or nothing.

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <tuple>

// A wire struct's fields in wire order, for encoders and decoders that go field by field.
#define ORVEL_WIRE_FIELDS(...)            \
    auto fields() {                       \
        return std::tie(__VA_ARGS__);     \
    }                                     \
    auto fields() const {                 \
        return std::tie(__VA_ARGS__);     \
    }

namespace orvel::packet {

// How many of the first maxBytes bytes of utf8 end on a character boundary.
qsizetype utf8Fit(const QByteArray& utf8, qsizetype maxBytes);

class Writer {
public:
    void le(uint64_t v, int bytes);
    void u8(uint8_t v) { out_.append(static_cast<char>(v)); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void raw(const void* data, qsizetype n) { out_.append(static_cast<const char*>(data), n); }
    void uuid(const QUuid& id) { out_.append(id.toRfc4122()); }
    // A byte count `countBytes` wide (1, 2 or 4), then the UTF-8 of s, cut at a character
    // boundary to at most maxBytes.
    void text(const QString& s, int countBytes, qsizetype maxBytes);
    QByteArray& bytes() { return out_; }

private:
    QByteArray out_;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Reader(const QByteArray& bytes)
        : Reader(reinterpret_cast<const uint8_t*>(bytes.constData()),
                 static_cast<size_t>(bytes.size())) {}

    bool ok() const { return ok_; }
    bool atEnd() const { return ok_ && pos_ == size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    void fail() { ok_ = false; }

    // The next n bytes, moved past; null (and the read failed) when fewer are left.
    const uint8_t* take(size_t n);
    uint64_t le(int bytes);
    uint8_t u8() { return static_cast<uint8_t>(le(1)); }
    uint16_t u16() { return static_cast<uint16_t>(le(2)); }
    uint32_t u32() { return static_cast<uint32_t>(le(4)); }
    uint64_t u64() { return le(8); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    QUuid uuid();
    void skip(size_t n) { take(n); }
    // The four bytes m, or the read fails.
    bool magic(const char (&m)[4]);
    // A byte count `countBytes` wide, then that much UTF-8. A count above maxBytes, or kept
    // bytes that are not UTF-8, fail the read. Only the first keepBytes are decoded (a cut
    // inside a character goes back to its start); the rest is skipped unread.
    QString text(int countBytes, size_t maxBytes,
                 size_t keepBytes = std::numeric_limits<size_t>::max());

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace orvel::packet
