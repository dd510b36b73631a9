// Key code: nine bytes that carry one key byte in a verifiable form.
#pragma once
#include <cstdint>

struct KeyCode {
    unsigned char bytes[9];
};

enum { KeyCodeLength = 9, KeyCodeShortLength = 7 };

// Key byte 0..255, or -1 when the code is rejected.
int KeyCodeDecode(const unsigned char code[KeyCodeLength]);

// A fresh code for the key; its free characters follow the tick count.
KeyCode KeyCodeMake(unsigned char key);

// Rebuilds the full form from the seven-byte short form and decodes it.
int KeyCodeDecodeShort(const unsigned char shortForm[KeyCodeShortLength]);

// Free-running 32-bit millisecond counter used by KeyCodeMake.
typedef uint32_t (*TickSource)();
uint32_t ReadTickCount();
void SetTickSource(TickSource source);  // nullptr restores the default
