// Any nine bytes: the host's key-code check must agree with the scanner's own, written
// separately; a code the host makes must give its key back under both.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "codec/key_code.h"
#include "sim/sim_codec.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

uint32_t inputTick = 0;
uint32_t InputTick() {
    return inputTick;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::FullCode code = {};
    std::memcpy(code.data(), data, std::min(size, code.size()));

    int key = KeyCodeDecode(code.data());
    FUZZ_CHECK(key >= -1 && key <= 255);
    FUZZ_CHECK(key == sim::CheckKeyCode(code.data()));

    // The short form drops the two fixed characters; the scanner's check sees them restored.
    std::array<uint8_t, 7> shortForm = sim::ShortForm(code);
    sim::FullCode restored = code;
    restored[0] = 'C';
    restored[5] = '#';
    FUZZ_CHECK(KeyCodeDecodeShort(shortForm.data()) == sim::CheckKeyCode(restored.data()));

    // Whatever the tick count, the code the host sends must pass the scanner's check.
    InputReader in(code.data() + 1, 4);
    inputTick = in.Word();
    SetTickSource(InputTick);
    KeyCode made = KeyCodeMake(code[0]);
    FUZZ_CHECK(KeyCodeDecode(made.bytes) == code[0]);
    FUZZ_CHECK(sim::CheckKeyCode(made.bytes) == code[0]);
    return 0;
}
