#include "net/paths/session_address_source.h"

#include <QtGlobal>

namespace dx8 {

namespace {

std::shared_ptr<SessionAddressSource>& installed() {
    static std::shared_ptr<SessionAddressSource> source;
    return source;
}

}  // namespace

std::optional<QString> SessionAddressSource::ask() {
    std::optional<QString> answer = askForAddress();
    if (answer) {
        answer = answer->trimmed();
    }
    lastAnswer_ = answer;
    ++asks_;
    return answer;
}

std::optional<QString> EnvironmentAddressSource::askForAddress() {
    return qEnvironmentVariable("ORVEL_ENUM_ADDRESS").trimmed();
}

bool EnvironmentAddressSource::searchLoopbackOnly() const {
    return qEnvironmentVariable("ORVEL_DISCOVERY").trimmed().toLower() ==
           QStringLiteral("loopback");
}

void setSessionAddressSource(std::shared_ptr<SessionAddressSource> source) {
    installed() = std::move(source);
}

SessionAddressSource& sessionAddressSource() {
    static EnvironmentAddressSource fallback;
    SessionAddressSource* source = installed().get();
    return source != nullptr ? *source : fallback;
}

}  // namespace dx8
