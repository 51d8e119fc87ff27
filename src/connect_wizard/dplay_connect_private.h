#pragma once

// Shared by the wizard's source files only.

#include <QLoggingCategory>
#include <exception>

#include "common/command_line.h"
#include "connect_wizard/dplay_connect.h"

Q_DECLARE_LOGGING_CATEGORY(lcWizard)

namespace orvel {

// The first port a device address asks to host on.
inline int portOfDevice(const dx8::DirectPlay8Address* device) {
    if (device != nullptr && device->HasComponent(dx8::DPNA_KEY_PORT)) {
        return cli::parsePort(device->GetComponentString(dx8::DPNA_KEY_PORT))
            .value_or(dx8::kDefaultSessionPort);
    }
    return dx8::kDefaultSessionPort;
}

template <class Action>
void DPlayConnect::pageAction(const QString& failureText, Action&& action) {
    try {
        action();
    } catch (const dx8::DxError& e) {
        reportFailure(failureText, dx8::hresultHex(e.code()), e.code());
    } catch (const std::exception& e) {
        reportFailure(failureText, QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace orvel
