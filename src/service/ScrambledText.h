#pragma once

#include <cstddef>

// Service addresses are kept in writable static storage with every byte lowered by a fixed
// offset, so that no plain address lies in the executable. The stored form is computed at
// compile time; restore() and scramble() turn it into the plain text and back, in place.
namespace scrambled {

constexpr unsigned char kOffset = 0xA7;

template <std::size_t N> struct Text { char bytes[N]; };

template <std::size_t N> constexpr Text<N> fromPlain(const char (&plain)[N]) {
    Text<N> stored{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const auto byte = static_cast<unsigned char>(plain[i]);
        if (byte == kOffset || byte == 0) {
            throw "an address byte would be stored as NUL"; // stops the compilation
        }
        stored.bytes[i] = static_cast<char>(static_cast<unsigned char>(byte - kOffset));
    }
    return stored;
}

inline void restore(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(static_cast<unsigned char>(*text) + kOffset);
    }
}

inline void scramble(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(static_cast<unsigned char>(*text) - kOffset);
    }
}

// Keeps a stored text restored for the guard's lifetime.
class Restored {
public:
    explicit Restored(char* text) : text_(text) { restore(text_); }
    ~Restored() { scramble(text_); }
    Restored(const Restored&) = delete;
    Restored& operator=(const Restored&) = delete;

private:
    char* text_;
};

} // namespace scrambled

// Defines writable static storage `name` holding `plain` in stored form, computed at compile time.
#define VEXL_SCRAMBLED(name, plain)                                                                \
    constexpr auto name##Stored = scrambled::fromPlain(plain);                                     \
    auto name = name##Stored
