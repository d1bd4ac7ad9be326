#include "system/SystemProxy.h"

namespace platform {

std::optional<ProxySettings> systemProxySettings(const std::string&) {
    return std::nullopt;
}

} // namespace platform
