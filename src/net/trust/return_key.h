#pragma once

// A player's key to come back into its session: an Ed25519 key pair of its own. The host keeps
// the public half of every player's key and tells everyone, so that whoever hosts next can
// check a return too; a player coming back signs the host's fresh challenge with the private
// half, which never leaves its machine. Nothing another player or an onlooker sees lets it pass
// for the player, then or later.

#include <QByteArray>
#include <QUuid>

#include "net/session.h"
#include "platform/dx8/dx8_types.h"

namespace dx8 {

constexpr int kReturnProofBytes = 64;

class ReturnKey {
public:
    // A fresh pair from the system's random source.
    ReturnKey();
    // The pair of a private half written down earlier; one that is not a key gives a fresh pair.
    explicit ReturnKey(const QByteArray& secret);

    const QByteArray& publicKey() const { return public_; }
    const QByteArray& secret() const { return secret_; }
    // The player `id` of session `instance` answers this challenge of player `to`, the one it
    // believes it reached: a proof made for one player does not pass with another, so a player
    // that hands a returner's answer on to the host gains nothing.
    QByteArray prove(const QByteArray& challenge, const QUuid& instance, DPNID id, DPNID to) const;

private:
    QByteArray secret_;
    QByteArray public_;
};

// Whether `proof` answers player `to`'s challenge for player `id` of `instance` under
// `publicKey`.
bool provesReturn(const QByteArray& publicKey, const QByteArray& proof, const QByteArray& challenge,
                  const QUuid& instance, DPNID id, DPNID to);

}  // namespace dx8
