#pragma once

#include <functional>
#include <optional>
#include <string>

// Which proxy a request goes through. The environment variables come first, as libcurl reads them
// (http_proxy for http, https_proxy or HTTPS_PROXY for https, then all_proxy or ALL_PROXY; no_proxy
// or NO_PROXY exempt hosts); without any, the system's settings (platform::systemProxySettings).
struct ProxyChoice {
    std::string proxy;       // as configured; empty: none
    bool fromSystem = false; // to be handed to libcurl, which reads the environment itself
};
ProxyChoice chooseProxy(const std::string& url);

// The rules behind it, over a given environment.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
// The proxy the environment names for the address's scheme (empty when none); whether any proxy
// variable is set at all.
std::string environmentProxy(const std::string& url, const EnvironmentLookup& environment);
bool environmentSetsProxies(const EnvironmentLookup& environment);
// The proxy of a system proxy list for the scheme: "host:port" for every scheme, or
// "http=host:port;https=host:port" (space or semicolon separated) by scheme; empty when none.
std::string proxyForScheme(const std::string& servers, const std::string& scheme);
// Whether the host is exempt by a system bypass list: entries separated by ";", "," or spaces, with
// "*" matching any run of characters, and "<local>" any name without a dot.
bool bypassesProxy(const std::string& host, const std::string& bypass);
// The proxy as a log line may show it: without "user:password@".
std::string proxyShown(const std::string& proxy);
