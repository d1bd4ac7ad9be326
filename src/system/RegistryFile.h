#pragma once

#include <optional>
#include <string>
#include <vector>

// A registry kept as one text file in the Windows registry export format. The file's lines are
// held as read, so that a rewrite changes only the value written and keeps everything else:
// comments, other value types, the encoding and the line ends.
class RegistryFile {
public:
    // A missing file reads as an empty registry; a file that exists but cannot be read gives
    // nothing.
    static std::optional<RegistryFile> load(const std::string& path);
    // Replaces the file through SafeWrite, flushed to the disk. A file that is a symbolic link
    // stays one: the link's target is replaced, and the file keeps its permissions.
    bool save(const std::string& path) const;

    // Key names are full paths with their root, such as "HKEY_CURRENT_USER\Software\X";
    // keys and value names compare case-insensitively.
    bool hasKey(const std::string& key) const;
    // The value's data as the registry API copies it: a string with its terminating NUL,
    // a dword as four little-endian bytes, binary data as its bytes.
    std::optional<std::string> valueData(const std::string& key, const std::string& name) const;

    // Whether a string value can be written and read back unchanged: no line breaks or NULs, and
    // in a UTF-16 file only valid UTF-8 text.
    bool canHold(const std::string& text) const;

    void createKey(const std::string& key);
    void setString(const std::string& key, const std::string& name, const std::string& data);

private:
    struct Entry {
        std::size_t firstLine = 0;
        std::size_t lastLine = 0;
        std::string key;
        std::string name; // empty for a section line
        std::string data; // the text after '=', continuation lines joined
        bool isSection = false;
    };

    std::vector<Entry> scan() const;
    std::size_t sectionEnd(const std::vector<Entry>& entries, const std::string& key) const;

    std::vector<std::string> lines_;
    std::string newline_ = "\r\n";
    bool utf16_ = false;
    bool utf8Bom_ = false;
};
