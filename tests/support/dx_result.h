#pragma once
// The result code of a platform call, for tests that check which error a call raises.

#include <functional>

#include "platform/dx8/dx8_types.h"

namespace orvel::testing {

// What the call raised as dx8::DxError, or 0 (success) when it raised nothing.
inline dx8::HRESULT codeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const dx8::DxError& e) {
        return e.code();
    }
    return 0;
}

}  // namespace orvel::testing
