#include "net/trust/return_key.h"

#include <openssl/evp.h>

#include <QtEndian>
#include <memory>

namespace dx8 {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const auto* bytes(const QByteArray& b) {
    return reinterpret_cast<const unsigned char*>(b.constData());
}

QByteArray idBytes(DPNID id) {
    char out[4];
    qToLittleEndian<uint32_t>(id, out);
    return QByteArray(out, sizeof out);
}

// What a proof signs: its purpose, the session, the player, the player it is meant for and the
// challenge, so that a proof counts for nothing anywhere else, nor handed on to another.
QByteArray signedText(const QByteArray& challenge, const QUuid& instance, DPNID id, DPNID to) {
    return QByteArrayLiteral("orvel come back") + instance.toRfc4122() + idBytes(id) + idBytes(to) +
           challenge;
}

QByteArray half(const EVP_PKEY* key, bool secret) {
    QByteArray out(kReturnKeyBytes, Qt::Uninitialized);
    size_t n = static_cast<size_t>(out.size());
    auto* to = reinterpret_cast<unsigned char*>(out.data());
    const int ok = secret ? EVP_PKEY_get_raw_private_key(key, to, &n)
                          : EVP_PKEY_get_raw_public_key(key, to, &n);
    return ok == 1 && n == static_cast<size_t>(kReturnKeyBytes) ? out : QByteArray();
}

Key fromSecret(const QByteArray& secret) {
    if (secret.size() != kReturnKeyBytes) {
        return Key(nullptr, &EVP_PKEY_free);
    }
    return Key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(secret),
                                            static_cast<size_t>(secret.size())),
               &EVP_PKEY_free);
}

}  // namespace

ReturnKey::ReturnKey() {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free);
    if (key) {
        secret_ = half(key.get(), true);
        public_ = half(key.get(), false);
    }
}

ReturnKey::ReturnKey(const QByteArray& secret) {
    const Key key = fromSecret(secret);
    if (!key) {
        *this = ReturnKey();
        return;
    }
    secret_ = secret;
    public_ = half(key.get(), false);
}

QByteArray ReturnKey::prove(const QByteArray& challenge, const QUuid& instance, DPNID id,
                            DPNID to) const {
    const Key key = fromSecret(secret_);
    const Context ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    const QByteArray text = signedText(challenge, instance, id, to);
    QByteArray proof(kReturnProofBytes, Qt::Uninitialized);
    size_t n = static_cast<size_t>(proof.size());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(proof.data()), &n, bytes(text),
                       static_cast<size_t>(text.size())) != 1) {
        return {};
    }
    return proof;
}

bool provesReturn(const QByteArray& publicKey, const QByteArray& proof, const QByteArray& challenge,
                  const QUuid& instance, DPNID id, DPNID to) {
    if (publicKey.size() != kReturnKeyBytes || proof.size() != kReturnProofBytes ||
        challenge.isEmpty()) {
        return false;
    }
    const Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey),
                                              static_cast<size_t>(publicKey.size())),
                  &EVP_PKEY_free);
    const Context ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    const QByteArray text = signedText(challenge, instance, id, to);
    return key && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), bytes(proof), static_cast<size_t>(proof.size()), bytes(text),
                            static_cast<size_t>(text.size())) == 1;
}

}  // namespace dx8
