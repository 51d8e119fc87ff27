#pragma once

// What lets players tell who is who without trusting an address: the proofs over the secrets a
// pair of players shares (a token the host gave both), and over a session's password.

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstdint>

#include "platform/dx8/dx8_types.h"

namespace dx8 {

// Who shows a pair's token: the one that links (its hello) or the one that answers (its ack).
// Each proof is of no use in the other's place, so neither side can hand back what it was shown.
enum class ProofOf : uint8_t { Hello = 'H', Ack = 'A' };

// Proves the token of a pair without showing it: one who was handed the hello at a wrong
// address learns nothing it could answer with.
uint64_t pairProof(uint64_t token, ProofOf what, DPNID linker);

// A fresh random challenge for a joiner, and the joiner's answer: HMAC-SHA256 over the challenge
// and the session instance, keyed with the password. The password itself never goes out.
constexpr int kChallengeBytes = 16;
QByteArray newChallenge();
QByteArray passwordProof(const QString& password, const QByteArray& challenge,
                         const QUuid& instance);
// Every proof shown to us is checked with orvel::sameSecret (common/same_secret.h).

}  // namespace dx8
