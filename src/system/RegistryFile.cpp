#include "system/RegistryFile.h"

#include "system/Paths.h"
#include "system/Platform.h"
#include "system/SafeWrite.h"
#include "system/Utf16.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <cstdio>

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

char foldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldCase(x) == foldCase(y);
           });
}

bool isBelowOrSame(const std::string& section, const std::string& key) {
    return equalsNoCase(section.substr(0, key.size()), key) &&
           (section.size() == key.size() || section[key.size()] == '\\');
}

// Reads a quoted text with \\ and \" escapes starting at text[pos] == '"'; pos ends after the
// closing quote. Nothing when the quote is not closed.
std::optional<std::string> readQuoted(const std::string& text, std::size_t& pos) {
    std::string out;
    for (++pos; pos < text.size(); ++pos) {
        if (text[pos] == '"') {
            ++pos;
            return out;
        }
        if (text[pos] == '\\' && pos + 1 < text.size()) {
            ++pos;
        }
        out += text[pos];
    }
    return std::nullopt;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::optional<std::string> hexBytes(const std::string& list) {
    std::string out;
    std::string digits;
    for (char c : list + ",") {
        if (c == ',') {
            if (digits.empty()) {
                continue;
            }
            if (digits.size() > 2) {
                return std::nullopt;
            }
            out += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != '\t' && c != '\\') {
            return std::nullopt;
        }
    }
    return out;
}

// The bytes that the ANSI query call copies for a value written as `text` after the '='.
std::optional<std::string> decodeData(const std::string& text) {
    if (!text.empty() && text[0] == '"') {
        std::size_t pos = 0;
        auto string = readQuoted(text, pos);
        return string ? std::optional<std::string>(*string + '\0') : std::nullopt;
    }
    if (text.rfind("dword:", 0) == 0) {
        if (text.size() != 14 ||
            text.find_first_not_of("0123456789abcdefABCDEF", 6) != std::string::npos) {
            return std::nullopt;
        }
        const unsigned long value = std::stoul(text.substr(6), nullptr, 16);
        std::string out;
        for (int shift = 0; shift < 32; shift += 8) {
            out += static_cast<char>((value >> shift) & 0xFF);
        }
        return out;
    }
    const auto colon = text.find(':');
    if (text.rfind("hex", 0) != 0 || colon == std::string::npos) {
        return std::nullopt;
    }
    auto bytes = hexBytes(text.substr(colon + 1));
    const std::string type = text.substr(0, colon);
    if (bytes && (type == "hex(1)" || type == "hex(2)" || type == "hex(7)")) {
        return utf16ToUtf8(*bytes, 0); // text types are stored as UTF-16
    }
    return bytes;
}

std::string readWholeFile(std::FILE* file, bool& ok) {
    std::string content;
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, got);
    }
    ok = !std::ferror(file);
    return content;
}

} // namespace

std::optional<RegistryFile> RegistryFile::load(const std::string& path) {
    RegistryFile file;
    boost::system::error_code ec;
    const auto status = boost::filesystem::status(toFsPath(path), ec);
    if (status.type() == boost::filesystem::file_not_found) {
        return file;
    }
    // A link is read where it points, as it is written; what it names must be a regular file.
    FilePtr stream = openRegularFile(platform::followLinks(path), "rb");
    bool ok = false;
    std::string content = stream ? readWholeFile(stream.get(), ok) : std::string();
    if (!ok) {
        return std::nullopt;
    }
    if (content.rfind("\xFF\xFE", 0) == 0) {
        file.utf16_ = true;
        content = utf16ToUtf8(content, 2);
    } else if (content.rfind("\xEF\xBB\xBF", 0) == 0) {
        file.utf8Bom_ = true;
        content.erase(0, 3);
    }
    file.newline_ = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        end = end == std::string::npos ? content.size() : end;
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        file.lines_.push_back(line);
        start = end + 1;
    }
    return file;
}

bool RegistryFile::save(const std::string& path) const {
    std::string content;
    for (const auto& line : lines_) {
        content += line + newline_;
    }
    if (utf16_) {
        content = "\xFF\xFE" + utf8ToUtf16(content);
    } else if (utf8Bom_) {
        content = "\xEF\xBB\xBF" + content;
    }
    // A registry file that is a link stays one: its target is what gets replaced.
    const std::string target = platform::followLinks(path);
    boost::system::error_code ec;
    const auto folder = toFsPath(target).parent_path();
    if (!folder.empty()) {
        boost::filesystem::create_directories(folder, ec);
    }
    try {
        writeFileSafely(target, content, Durability::OnDisk);
        syncWrittenFolders();
    } catch (const boost::filesystem::filesystem_error&) {
        return false;
    }
    return true;
}

std::vector<RegistryFile::Entry> RegistryFile::scan() const {
    std::vector<Entry> entries;
    std::string section;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string& line = lines_[i];
        const std::size_t close = line.find_last_not_of(" \t");
        if (!line.empty() && line[0] == '[' && close != std::string::npos && line[close] == ']') {
            section = line.substr(1, close - 1);
            if (!section.empty() && section[0] == '-') {
                section.clear(); // a deletion, not a key
            }
            entries.push_back({i, i, section, "", "", true});
            continue;
        }
        Entry value{i, i, section, "", "", false};
        std::size_t pos = 0;
        if (line.rfind("@=", 0) == 0) {
            value.name = "";
            pos = 1;
        } else if (line.rfind('"', 0) == 0) {
            auto name = readQuoted(line, pos);
            if (!name || pos >= line.size() || line[pos] != '=') {
                continue;
            }
            value.name = *name;
        } else {
            continue;
        }
        value.data = line.substr(pos + 1);
        // Binary data goes on in indented lines after a line that ends in a backslash.
        while (value.data[0] != '"' && !lines_[value.lastLine].empty() &&
               lines_[value.lastLine].back() == '\\' && value.lastLine + 1 < lines_.size() &&
               !lines_[value.lastLine + 1].empty() &&
               (lines_[value.lastLine + 1][0] == ' ' || lines_[value.lastLine + 1][0] == '\t')) {
            value.data.pop_back();
            value.data += lines_[++value.lastLine];
        }
        i = value.lastLine;
        if (!section.empty()) {
            entries.push_back(value);
        }
    }
    return entries;
}

bool RegistryFile::hasKey(const std::string& key) const {
    for (const auto& entry : scan()) {
        if (entry.isSection && !entry.key.empty() && isBelowOrSame(entry.key, key)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> RegistryFile::valueData(const std::string& key,
                                                   const std::string& name) const {
    std::optional<std::string> found;
    for (const auto& entry : scan()) {
        if (!entry.isSection && equalsNoCase(entry.key, key) && equalsNoCase(entry.name, name)) {
            found = decodeData(entry.data); // a later definition wins, as on import
        }
    }
    return found;
}

bool RegistryFile::canHold(const std::string& text) const {
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return false;
    }
    return !utf16_ || isValidUtf8(text);
}

void RegistryFile::createKey(const std::string& key) {
    for (const auto& entry : scan()) {
        if (entry.isSection && equalsNoCase(entry.key, key)) {
            return;
        }
    }
    if (lines_.empty()) {
        lines_.push_back(kHeader);
    }
    if (!lines_.back().empty()) {
        lines_.push_back("");
    }
    lines_.push_back("[" + key + "]");
}

// The line index after the last non-blank line of the key's last section.
std::size_t RegistryFile::sectionEnd(const std::vector<Entry>& entries,
                                     const std::string& key) const {
    std::size_t end = lines_.size();
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (entries[e].isSection && equalsNoCase(entries[e].key, key)) {
            std::size_t next = e + 1;
            while (next < entries.size() && !entries[next].isSection) {
                ++next;
            }
            end = next < entries.size() ? entries[next].firstLine : lines_.size();
            const std::size_t sectionLine = entries[e].firstLine;
            // Blank lines and comments before the next section stay with that section.
            while (end > sectionLine + 1 &&
                   (lines_[end - 1].find_first_not_of(" \t") == std::string::npos ||
                    lines_[end - 1][0] == ';')) {
                --end;
            }
        }
    }
    return end;
}

void RegistryFile::setString(const std::string& key, const std::string& name,
                             const std::string& data) {
    const std::string line = (name.empty() ? "@" : quoted(name)) + "=" + quoted(data);
    createKey(key);
    const auto entries = scan();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (!it->isSection && equalsNoCase(it->key, key) && equalsNoCase(it->name, name)) {
            lines_.erase(lines_.begin() + it->firstLine, lines_.begin() + it->lastLine + 1);
            lines_.insert(lines_.begin() + it->firstLine, line);
            return;
        }
    }
    lines_.insert(lines_.begin() + sectionEnd(entries, key), line);
}
