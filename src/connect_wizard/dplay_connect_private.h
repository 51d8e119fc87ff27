#pragma once

// Shared by the wizard's source files only.

#include <QLoggingCategory>
#include <exception>

#include "connect_wizard/dplay_connect.h"

Q_DECLARE_LOGGING_CATEGORY(lcWizard)

namespace orvel {

template <class Action>
void DPlayConnect::pageAction(const QString& failureText, Action&& action) {
    try {
        action();
    } catch (const dx8::DxError& e) {
        reportFailure(failureText, dx8::hresultHex(e.code()));
    } catch (const std::exception& e) {
        reportFailure(failureText, QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace orvel
