#include "log/Events.h"

#include "system/Paths.h"

#include <cstdio>

namespace {

struct EventTarget {
    FilePtr file;             // an events file of the run's own
    std::FILE* out = nullptr; // where lines go: that file or standard output
};

EventTarget& target() {
    static EventTarget events;
    return events;
}

} // namespace

namespace events {

bool open(const std::string& path, std::string* reason) {
    EventTarget& events = target();
    if (path == "-") {
        events.file.reset();
        events.out = stdout;
        return true;
    }
    std::string why;
    events.file = openRegularFile(path, "a", why);
    events.out = events.file.get();
    if (reason != nullptr) {
        *reason = why;
    }
    return events.out != nullptr;
}

bool enabled() {
    return target().out != nullptr;
}

void emit(const std::string& event, const nlohmann::json& fields) {
    std::FILE* out = target().out;
    if (out == nullptr) {
        return;
    }
    // Keys in a fixed order, the schema's first: a reader may match the start of a line.
    std::string line =
        R"({"v":)" + std::to_string(kSchemaVersion) + R"(,"event":)" + nlohmann::json(event).dump();
    for (const auto& [key, value] : fields.items()) {
        line += "," + nlohmann::json(key).dump() + ":" +
                value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

void close() {
    EventTarget& events = target();
    events.out = nullptr;
    events.file.reset();
}

} // namespace events
