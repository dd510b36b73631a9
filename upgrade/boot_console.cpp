#include "upgrade/boot_console.h"

#include <cstring>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "upgrade/progress.h"

const unsigned char BootPrompt[BootPromptLength] = {0x0D, 0x0A, 'B', 'o', 'o', 't', '>'};
const unsigned char SuccessMark[3] = {'^', '_', '^'};

namespace {

enum { EchoBudget = 100 };

// Length of the reply text: up to the first zero byte among the n received.
int ReplyTextLength(const unsigned char* reply, int n) {
    const void* zero = std::memchr(reply, 0, n);
    return zero ? static_cast<int>(static_cast<const unsigned char*>(zero) - reply) : n;
}

// Index of the first occurrence of `what` in reply[from, n), or -1.
int FindBytes(const unsigned char* reply, int from, int n, const unsigned char* what, int len) {
    for (int i = from; i + len <= n; ++i)
        if (std::memcmp(reply + i, what, len) == 0) return i;
    return -1;
}

}  // namespace

void WriteExecute() {
    const unsigned char cr = 0x0D;
    SerialWrite(&cr, 1);
}

bool SendBootCommand(const unsigned char* command, int length) {
    RxFlush();
    for (int i = 0; i < length; ++i) {
        SerialWrite(command + i, 1);
        int echo = RxReadByte(EchoBudget);
        if (echo == command[i]) continue;
        NoteExchange(echo < 0 ? "no echo of character %d" : "character %d echoed as 0x%02x", i + 1,
                     echo);
        return false;
    }
    return true;
}

bool SendBootCommand(const char* command) {
    return SendBootCommand(reinterpret_cast<const unsigned char*>(command),
                           static_cast<int>(std::strlen(command)));
}

bool WakeConsole(int budget) {
    WriteExecute();
    bool same = true;
    for (int i = 0; i < BootPromptLength; ++i) {
        int byte = RxReadByte(budget);
        if (byte < 0) {
            NoteExchange("wake-up: %d of the prompt's 7 bytes came", i);
            return false;
        }
        same = same && byte == BootPrompt[i];
    }
    NoteExchange(same ? "wake-up: the prompt answered"
                      : "wake-up: 7 bytes that are not the prompt");
    return same;
}

int CollectReply(int budget, ReplyBuffer reply) {
    std::memset(reply, 0, ReplyBufferSize);
    RxFlush();
    WriteExecute();
    int n = 0;
    for (int byte; n < ReplyBufferSize && (byte = RxReadByte(budget)) >= 0;)
        reply[n++] = static_cast<unsigned char>(byte);
    NoteExchange("reply of %d byte(s)", n);
    return n;
}

void DrainConsole(int budget) {
    for (int n = 0; n < ReplyBufferSize && RxReadByte(budget) >= 0; ++n) {
    }
}

bool ReplyEndsWithPrompt(const unsigned char* reply, int n) {
    return n >= BootPromptLength &&
           std::memcmp(reply + n - BootPromptLength, BootPrompt, BootPromptLength) == 0;
}

bool ReplyHasPrompt(const unsigned char* reply, int n) {
    return FindBytes(reply, 0, ReplyTextLength(reply, n), BootPrompt, BootPromptLength) >= 0;
}

bool ReplyHasSuccessMark(const unsigned char* reply, int n) {
    int text = ReplyTextLength(reply, n);
    int mark = FindBytes(reply, 0, text, SuccessMark, sizeof SuccessMark);
    return mark >= 0 && FindBytes(reply, mark + static_cast<int>(sizeof SuccessMark), text,
                                  BootPrompt, BootPromptLength) >= 0;
}
