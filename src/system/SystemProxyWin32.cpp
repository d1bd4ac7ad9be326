#include "system/SystemProxy.h"

#include "system/WindowsText.h"

#include <memory>
#include <windows.h>
#include <winhttp.h>

namespace {

struct GlobalTextFree {
    void operator()(wchar_t* text) const { GlobalFree(text); }
};
using GlobalText = std::unique_ptr<wchar_t, GlobalTextFree>;

struct InternetClose {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetClose>;

struct KeyClose {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

std::string textOf(const GlobalText& text) {
    return text ? fromWide(text.get()) : "";
}

// The user's Internet settings as WinHTTP reads them; each string is the caller's to free.
struct UserConfig {
    bool autoDetect = false;
    GlobalText autoConfigUrl;
    GlobalText proxy;
    GlobalText bypass;
};

UserConfig readUserConfig() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    UserConfig user;
    if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        user.autoDetect = config.fAutoDetect != FALSE;
        user.autoConfigUrl.reset(config.lpszAutoConfigUrl);
        user.proxy.reset(config.lpszProxy);
        user.bypass.reset(config.lpszProxyBypass);
    }
    return user;
}

// What an automatic configuration script, or discovery, answers for the address.
std::optional<platform::ProxySettings> askAutomatic(const std::string& url,
                                                    const UserConfig& user) {
    InternetHandle session(WinHttpOpen(L"vexl-updater", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return std::nullopt;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.fAutoLogonIfChallenged = TRUE;
    if (user.autoConfigUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = user.autoConfigUrl.get();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.get(), toWide(url).c_str(), &options, &info)) {
        return std::nullopt;
    }
    const GlobalText proxy(info.lpszProxy);
    const GlobalText bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !proxy) {
        return platform::ProxySettings{}; // the script says: direct
    }
    return platform::ProxySettings{textOf(proxy), textOf(bypass)};
}

std::string readValue(HKEY key, const wchar_t* name) {
    wchar_t text[1024] = L"";
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return "";
    }
    text[size / sizeof(wchar_t)] = L'\0';
    return fromWide(text);
}

// The values the settings dialog keeps beside what WinHTTP reads, for a system whose WinHTTP
// reports none (some builds and compatibility layers read only one of the two).
std::optional<platform::ProxySettings> readSettingsKey() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                      KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const Key key(opened);
    DWORD enabled = 0;
    DWORD size = sizeof enabled;
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"ProxyEnable", nullptr, &type,
                         reinterpret_cast<BYTE*>(&enabled), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || enabled == 0) {
        return std::nullopt;
    }
    platform::ProxySettings settings{readValue(key.get(), L"ProxyServer"),
                                     readValue(key.get(), L"ProxyOverride")};
    if (settings.servers.empty()) {
        return std::nullopt;
    }
    return settings;
}

} // namespace

namespace platform {

std::optional<ProxySettings> systemProxySettings(const std::string& url) {
    const UserConfig user = readUserConfig();
    if (user.autoDetect || user.autoConfigUrl) {
        if (std::optional<ProxySettings> automatic = askAutomatic(url, user)) {
            return automatic;
        }
    }
    if (user.proxy) {
        return ProxySettings{textOf(user.proxy), textOf(user.bypass)};
    }
    return readSettingsKey();
}

} // namespace platform
