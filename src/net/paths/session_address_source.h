#pragma once

// Where a search or connect given no host address gets one: the program decides (a dialog,
// the environment, nothing). The session layer itself asks nobody.

#include <QString>
#include <memory>
#include <optional>

namespace dx8 {

class SessionAddressSource {
public:
    virtual ~SessionAddressSource() = default;
    // "host", "host:port", or blank to search the local network; nullopt when the user cancels.
    virtual std::optional<QString> askForAddress() = 0;
    // Whether a search of the local network stays on this machine.
    virtual bool searchLoopbackOnly() const = 0;

    // What sessions call: askForAddress, with the answer kept so that the program can tell the
    // player what a search or connect waits on (the answer as given, trimmed).
    std::optional<QString> ask();
    const std::optional<QString>& lastAnswer() const { return lastAnswer_; }
    // How many times ask() ran; a caller compares it before and after a call to learn whether
    // that call asked.
    int asks() const { return asks_; }

private:
    std::optional<QString> lastAnswer_;
    int asks_ = 0;
};

// Answers from ORVEL_ENUM_ADDRESS (blank when unset) and ORVEL_DISCOVERY ("loopback" keeps a
// search on this machine). This is what sessions use until a program installs another.
class EnvironmentAddressSource : public SessionAddressSource {
public:
    std::optional<QString> askForAddress() override;
    bool searchLoopbackOnly() const override;
};

// Installs the source for every session of this process; null goes back to the environment.
void setSessionAddressSource(std::shared_ptr<SessionAddressSource> source);
SessionAddressSource& sessionAddressSource();

}  // namespace dx8
