#pragma once

// The meeting point's secrets: cookies that prove a sender's address without keeping anything
// about it (as SYN cookies do), the session secrets that let a new host claim a code again, and
// unguessable codes and tokens. All of them are SipHash-2-4 under keys that never leave here.

#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "net/paths/meet_protocol.h"

namespace orvel::meet {

using Key = std::array<uint8_t, 16>;

uint64_t sipHash24(const Key& key, const uint8_t* data, size_t size);

class Keys {
public:
    // The session-secret key comes from the caller (kept across restarts, so that codes survive
    // them); the others are new at each start.
    explicit Keys(const Key& secretKey);

    // A cookie is good for the 30 s slot it was made in and the next one.
    uint64_t cookie(Endpoint from, int64_t nowMs) const;
    bool cookieValid(uint64_t cookie, Endpoint from, int64_t nowMs) const;

    // salt (8 bytes) then a tag over code and salt: checked without remembering anything.
    Secret secret(Code code, uint64_t salt) const;
    bool secretValid(Code code, const Secret& secret) const;
    static uint64_t saltOf(const Secret& secret);

    // Unpredictable to anyone without the key: a keyed hash of a counter.
    uint64_t random();

private:
    uint64_t cookieAt(Endpoint from, int64_t slot) const;

    Key secretKey_;
    Key cookieKey_{};
    Key randomKey_{};
    uint64_t counter_ = 0;
};

// Fresh random bytes from the kernel.
Key randomKey();

// The session-secret key kept in DIR/key (made there, readable by its owner only, on first
// start). Nothing, with why set, when the folder or the file cannot be used.
std::optional<Key> loadKey(const QString& dir, QString* why);

}  // namespace orvel::meet
