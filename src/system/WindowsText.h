#pragma once

#include <optional>
#include <string>

// The program's UTF-8 text at the Windows seams: UTF-16 for the wide calls, the ANSI code page
// for the registry's ANSI calls. Windows builds only.

std::wstring toWide(const std::string& utf8);
std::string fromWide(const std::wstring& wide);

// The text in the ANSI code page; nothing when it is not valid UTF-8 or holds a character the
// code page cannot represent (a stand-in character would change what is stored).
std::optional<std::string> toAnsi(const std::string& utf8);
std::string fromAnsi(const std::string& ansi);

// The form of a path for the wide file calls: long absolute paths get the "\\?\" prefix, which
// lifts the classic length limit but also the system's clean-up of the path, so the path is
// cleaned here: slashes become backslashes, empty and "." components go, ".." takes one back.
std::wstring widePath(const std::string& pathText);
