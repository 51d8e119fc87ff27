#pragma once

// The address a search or connect asks the player for when it has none: ORVEL_ENUM_ADDRESS
// answers when set; otherwise a dialog asks (in a program with windows).

#include "platform/dx8/play/session_address_source.h"

namespace orvel {

class SessionAddressDialog : public dx8::EnvironmentAddressSource {
public:
    std::optional<QString> askForAddress() override;
};

}  // namespace orvel
