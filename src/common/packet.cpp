#include "common/packet.h"

#include <QStringDecoder>
#include <algorithm>
#include <cstring>

namespace orvel::packet {

namespace {

bool continuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

qsizetype utf8Fit(const QByteArray& utf8, qsizetype maxBytes) {
    qsizetype n = std::min(utf8.size(), std::max<qsizetype>(maxBytes, 0));
    while (n > 0 && n < utf8.size() && continuation(static_cast<uint8_t>(utf8[n]))) {
        --n;
    }
    return n;
}

void Writer::le(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out_.append(static_cast<char>(v >> (8 * i)));
    }
}

void Writer::text(const QString& s, int countBytes, qsizetype maxBytes) {
    const QByteArray utf8 = s.toUtf8();
    const qsizetype n = utf8Fit(utf8, maxBytes);
    le(static_cast<uint64_t>(n), countBytes);
    out_.append(utf8.constData(), n);
}

const uint8_t* Reader::take(size_t n) {
    if (!ok_ || n > size_ - pos_) {
        ok_ = false;
        return nullptr;
    }
    pos_ += n;
    return data_ + pos_ - n;
}

uint64_t Reader::le(int bytes) {
    const uint8_t* p = take(static_cast<size_t>(bytes));
    uint64_t v = 0;
    for (int i = 0; p != nullptr && i < bytes; ++i) {
        v |= uint64_t{p[i]} << (8 * i);
    }
    return v;
}

QUuid Reader::uuid() {
    const uint8_t* p = take(16);
    return p == nullptr ? QUuid()
                        : QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char*>(p), 16));
}

bool Reader::magic(const char (&m)[4]) {
    const uint8_t* p = take(4);
    if (p == nullptr || std::memcmp(p, m, 4) != 0) {
        ok_ = false;
    }
    return ok_;
}

QString Reader::text(int countBytes, size_t maxBytes, size_t keepBytes) {
    const uint64_t n = le(countBytes);
    if (!ok_ || n > maxBytes) {
        ok_ = false;
        return {};
    }
    const uint8_t* field = take(static_cast<size_t>(n));
    if (field == nullptr) {
        return {};
    }
    size_t kept = std::min<size_t>(static_cast<size_t>(n), keepBytes);
    // A UTF-8 character is at most four bytes: back over the continuation bytes to its start.
    for (int back = 0; back < 3 && kept > 0 && kept < n && continuation(field[kept]); ++back) {
        --kept;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(QByteArrayView(reinterpret_cast<const char*>(field),
                                    static_cast<qsizetype>(kept)));
    if (utf8.hasError()) {
        ok_ = false;
        return {};
    }
    return s;
}

}  // namespace orvel::packet
