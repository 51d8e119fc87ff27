#include "platform/os/os_services.h"

namespace orvel::os {

namespace {
OsServices* installed = nullptr;
}

OsServices& services() {
    return installed != nullptr ? *installed : platformServices();
}

OsServices* setServices(OsServices* replacement) {
    OsServices* previous = installed;
    installed = replacement;
    return previous;
}

}  // namespace orvel::os
