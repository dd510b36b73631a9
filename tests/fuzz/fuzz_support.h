// Shared by the codec fuzzers: checks that abort, and test values read from the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// abort() rather than assert(): stays on in every build type, and libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// True when the text ends inside its member.
template <size_t N>
bool Terminated(const char (&member)[N]) {
    return std::memchr(member, 0, N) != nullptr;
}

// Reads values in order; past the end it reads zeros, so every input gives a full set.
class InputReader {
   public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint32_t Word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(Byte()) << (8 * i);
        return w;
    }

    // Up to maxLength printable ASCII characters, hex letters and digits included.
    std::string Printable(size_t maxLength) {
        size_t length = Byte() % (maxLength + 1);
        std::string text;
        for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(0x20 + Byte() % 95));
        return text;
    }

   private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
