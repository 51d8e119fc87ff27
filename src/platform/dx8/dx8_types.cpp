#include "platform/dx8/dx8_types.h"

namespace dx8 {

DxError::DxError(HRESULT code, const char* what)
    : std::runtime_error(what ? what : hresultHex(code).toStdString()), code_(code) {}

void raise(HRESULT code, const char* what) { throw DxError(code, what); }

QString hresultHex(HRESULT code) {
    return QStringLiteral("0x") + QString::number(static_cast<uint32_t>(code), 16).toUpper();
}

}  // namespace dx8
