#include "net/Proxy.h"

#include "system/SystemProxy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string schemeOf(const std::string& url) {
    const auto colon = url.find("://");
    return colon == std::string::npos ? "" : lowered(url.substr(0, colon));
}

// The host of an address, without user, port or brackets.
std::string hostOf(const std::string& url) {
    const auto start = url.find("://");
    std::string rest = start == std::string::npos ? url : url.substr(start + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    rest = rest.substr(rest.rfind('@') == std::string::npos ? 0 : rest.rfind('@') + 1);
    if (!rest.empty() && rest[0] == '[') {
        return lowered(rest.substr(1, rest.find(']') - 1));
    }
    return lowered(rest.substr(0, rest.find(':')));
}

std::vector<std::string> entriesOf(std::string list) {
    std::replace_if(
        list.begin(), list.end(), [](char c) { return c == ';' || c == ','; }, ' ');
    std::istringstream words(list);
    std::vector<std::string> entries;
    for (std::string word; words >> word;) {
        entries.push_back(word);
    }
    return entries;
}

bool wildcardMatch(const char* pattern, const char* text) {
    if (*pattern == '\0') {
        return *text == '\0';
    }
    if (*pattern == '*') {
        return wildcardMatch(pattern + 1, text) ||
               (*text != '\0' && wildcardMatch(pattern, text + 1));
    }
    return *text != '\0' && *pattern == *text && wildcardMatch(pattern + 1, text + 1);
}

std::optional<std::string> realEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

const char* const kProxyVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                       "ALL_PROXY"};

// The system's answer for one scheme and host, asked once a run (an automatic configuration
// script may take a while).
std::string systemProxy(const std::string& url) {
    static std::map<std::string, std::string> known;
    const std::string key = schemeOf(url) + "://" + hostOf(url);
    const auto found = known.find(key);
    if (found != known.end()) {
        return found->second;
    }
    std::string proxy;
    if (const auto settings = platform::systemProxySettings(url)) {
        if (!bypassesProxy(hostOf(url), settings->bypass)) {
            proxy = proxyForScheme(settings->servers, schemeOf(url));
        }
    }
    return known[key] = proxy;
}

} // namespace

std::string environmentProxy(const std::string& url, const EnvironmentLookup& environment) {
    const std::string scheme = schemeOf(url);
    std::vector<const char*> names;
    if (scheme == "http") {
        names = {"http_proxy"}; // never HTTP_PROXY, which a web server may set from a header
    } else if (scheme == "https") {
        names = {"https_proxy", "HTTPS_PROXY"};
    }
    names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
    for (const char* name : names) {
        if (const auto value = environment(name)) {
            return *value;
        }
    }
    return "";
}

bool environmentSetsProxies(const EnvironmentLookup& environment) {
    return std::any_of(std::begin(kProxyVariables), std::end(kProxyVariables),
                       [&environment](const char* name) { return environment(name).has_value(); });
}

std::string proxyForScheme(const std::string& servers, const std::string& scheme) {
    const std::vector<std::string> entries = entriesOf(servers);
    for (const std::string& entry : entries) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            return entry; // one proxy for every scheme
        }
        if (lowered(entry.substr(0, equals)) == scheme) {
            return entry.substr(equals + 1);
        }
    }
    return "";
}

bool bypassesProxy(const std::string& host, const std::string& bypass) {
    const std::string name = lowered(host);
    for (const std::string& entry : entriesOf(bypass)) {
        if (entry == "<local>" ? name.find('.') == std::string::npos
                               : wildcardMatch(lowered(entry).c_str(), name.c_str())) {
            return true;
        }
    }
    return false;
}

std::string proxyShown(const std::string& proxy) {
    const auto start = proxy.find("://");
    const std::size_t hostStart = start == std::string::npos ? 0 : start + 3;
    const auto at = proxy.find('@', hostStart);
    if (at == std::string::npos || proxy.find('/', hostStart) < at) {
        return proxy;
    }
    return proxy.substr(0, hostStart) + proxy.substr(at + 1);
}

ProxyChoice chooseProxy(const std::string& url) {
    if (environmentSetsProxies(realEnvironment)) {
        return {environmentProxy(url, realEnvironment), false};
    }
    return {systemProxy(url), true};
}
