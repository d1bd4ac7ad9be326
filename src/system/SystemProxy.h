#pragma once

#include <optional>
#include <string>

namespace platform {

// The user's proxy settings as the system keeps them, for one address: a proxy list in the
// system's form ("host:port" or "http=host:port;https=host:port") and its bypass list ("<local>;
// *.example.com"). On Windows: a fixed proxy, or what an automatic configuration script or
// discovery answers for the address. Nothing when none is set, and always on POSIX, where the
// environment variables are the settings.
struct ProxySettings {
    std::string servers;
    std::string bypass;
};
std::optional<ProxySettings> systemProxySettings(const std::string& url);

} // namespace platform
