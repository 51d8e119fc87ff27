#include "keys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>

#include "common/same_secret.h"

namespace orvel::meet {

namespace {

constexpr int64_t kCookieSlotMs = 30000;

uint64_t rotl(uint64_t v, int n) {
    return (v << n) | (v >> (64 - n));
}

uint64_t load64(const uint8_t* p, size_t n = 8) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v |= uint64_t{p[i]} << (8 * i);
    }
    return v;
}

void store64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

uint64_t sipHash24(const Key& key, const uint8_t* data, size_t size) {
    const uint64_t k0 = load64(key.data()), k1 = load64(key.data() + 8);
    uint64_t v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                     k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
    const auto rounds = [&v](int n) {
        for (int i = 0; i < n; ++i) {
            v[0] += v[1];
            v[1] = rotl(v[1], 13) ^ v[0];
            v[0] = rotl(v[0], 32);
            v[2] += v[3];
            v[3] = rotl(v[3], 16) ^ v[2];
            v[0] += v[3];
            v[3] = rotl(v[3], 21) ^ v[0];
            v[2] += v[1];
            v[1] = rotl(v[1], 17) ^ v[2];
            v[2] = rotl(v[2], 32);
        }
    };
    const auto absorb = [&](uint64_t m) {
        v[3] ^= m;
        rounds(2);
        v[0] ^= m;
    };
    size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        absorb(load64(data + at));
    }
    absorb(load64(data + at, size - at) | (uint64_t{size & 0xFF} << 56));
    v[2] ^= 0xFF;
    rounds(4);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

Key randomKey() {
    Key key{};
    size_t got = 0;
    while (got < key.size()) {
        const ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            std::abort();  // no randomness: nothing here may run without it
        }
    }
    return key;
}

Keys::Keys(const Key& secretKey)
    : secretKey_(secretKey), cookieKey_(randomKey()), randomKey_(randomKey()) {}

uint64_t Keys::cookieAt(Endpoint from, int64_t slot) const {
    uint8_t in[16];
    store64(in, (uint64_t{from.ip} << 16) | from.port);
    store64(in + 8, static_cast<uint64_t>(slot));
    return sipHash24(cookieKey_, in, sizeof in);
}

uint64_t Keys::cookie(Endpoint from, int64_t nowMs) const {
    return cookieAt(from, nowMs / kCookieSlotMs);
}

bool Keys::cookieValid(uint64_t cookie, Endpoint from, int64_t nowMs) const {
    const int64_t slot = nowMs / kCookieSlotMs;
    return cookie != 0 && (sameSecret(cookie, cookieAt(from, slot)) ||
                           sameSecret(cookie, cookieAt(from, slot - 1)));
}

Secret Keys::secret(Code code, uint64_t salt) const {
    uint8_t in[16];
    store64(in, code.bits);
    store64(in + 8, salt);
    Secret s{};
    store64(s.data(), salt);
    store64(s.data() + 8, sipHash24(secretKey_, in, sizeof in));
    return s;
}

bool Keys::secretValid(Code code, const Secret& s) const {
    return sameSecret(s, secret(code, saltOf(s)));
}

uint64_t Keys::saltOf(const Secret& s) {
    return load64(s.data());
}

uint64_t Keys::random() {
    uint8_t in[8];
    store64(in, ++counter_);
    return sipHash24(randomKey_, in, sizeof in);
}

std::optional<Key> loadKey(const QString& dir, QString* why) {
    const QByteArray path = (dir + QStringLiteral("/key")).toLocal8Bit();
    Key key{};
    int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        key = randomKey();
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        const bool written =
            fd >= 0 && ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size()) &&
            ::fsync(fd) == 0;
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        if (!written) {
            ::unlink(path.constData());
            *why = QStringLiteral("cannot write %1: %2")
                       .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(error)));
            return std::nullopt;
        }
        return key;
    }
    const ssize_t n = fd >= 0 ? ::read(fd, key.data(), key.size()) : -1;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (n != static_cast<ssize_t>(key.size())) {
        *why = n < 0
                   ? QStringLiteral("cannot read %1: %2")
                         .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(error)))
                   : QStringLiteral("%1 is not a key (remove it to make a new one)")
                         .arg(QString::fromLocal8Bit(path));
        return std::nullopt;
    }
    return key;
}

}  // namespace orvel::meet
