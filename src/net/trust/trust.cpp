#include "net/trust/trust.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

namespace dx8 {

uint64_t pairProof(uint64_t token, ProofOf what, DPNID linker) {
    char key[8];
    qToLittleEndian(token, key);
    char message[5] = {static_cast<char>(what)};
    qToLittleEndian<uint32_t>(linker, message + 1);
    const QByteArray mac =
        QMessageAuthenticationCode::hash(QByteArray(message, sizeof message),
                                         QByteArray(key, sizeof key), QCryptographicHash::Sha256);
    return qFromLittleEndian<uint64_t>(mac.constData());
}

QByteArray newChallenge() {
    QByteArray c(kChallengeBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(c.data()),
                                          kChallengeBytes / 4);
    return c;
}

QByteArray passwordProof(const QString& password, const QByteArray& challenge,
                         const QUuid& instance) {
    return QMessageAuthenticationCode::hash(challenge + instance.toRfc4122(), password.toUtf8(),
                                            QCryptographicHash::Sha256);
}

}  // namespace dx8
