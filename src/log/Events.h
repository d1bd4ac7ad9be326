#pragma once

#include <nlohmann/json.hpp>

#include <string>

// The run told to a launcher as it happens: one JSON object per line (JSON Lines), each
// {"v":1,"event":NAME,...}, appended to the file given with --events and flushed per line.
// Without a file every call does nothing.
namespace events {

constexpr int kSchemaVersion = 1;

// Appends to `path` ("-": standard output); false, with the reason in `reason` when given, when
// it cannot be opened.
bool open(const std::string& path, std::string* reason = nullptr);
bool enabled();
// Writes one line: `fields` (an object) after "v" and "event".
void emit(const std::string& event, const nlohmann::json& fields = nlohmann::json::object());
// Stops writing; for tests.
void close();

} // namespace events
