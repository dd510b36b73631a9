#include "upgrade/xmodem.h"

#include <chrono>
#include <cstdio>

#include "codec/image_header.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "shell/progress.h"
#include "upgrade/upgrade.h"

unsigned char XmodemBlock[XmodemBlockSize];

namespace {

enum { StartBudget = 2500, AnswerBudget = 5000, HeaderReads = 8 };

// Waits for NAK, discarding anything else, within the overall limit.
bool AwaitStartSignal() {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(XmodemStartLimitMs);
    for (;;) {
        int byte = RxReadByte(StartBudget);
        if (byte == XmodemNak) return true;
        if (byte < 0 || std::chrono::steady_clock::now() >= limit) return false;
    }
}

int ReadBlock(FILE* f) {
    return static_cast<int>(std::fread(XmodemBlock, 1, XmodemBlockSize, f));
}

void SendBlock(int counter) {
    unsigned char number = static_cast<unsigned char>(counter);
    unsigned char complement = static_cast<unsigned char>(255 - number);
    unsigned char sum = 0;
    for (unsigned char b : XmodemBlock) sum = static_cast<unsigned char>(sum + b);
    const unsigned char soh = XmodemSoh;
    SerialWrite(&soh, 1);
    SerialWrite(&number, 1);
    SerialWrite(&complement, 1);
    SerialWrite(XmodemBlock, XmodemBlockSize);
    SerialWrite(&sum, 1);
}

// Sends the block and returns its answer; -1 when every resend went unanswered.
int SendBlockForAnswer(int counter) {
    for (int sends = 0; sends <= XmodemMaxResends; ++sends) {
        SendBlock(counter);
        int answer = RxReadByte(AnswerBudget);
        if (answer >= 0) return answer;
    }
    return -1;
}

int EndTransfer(FILE* f, int result) {
    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::fclose(f);
    return result;
}

}  // namespace

int XmodemSend(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::snprintf(StatusText, sizeof StatusText, "Cannot open %s", path);
        return -1;
    }
    if (!AwaitStartSignal()) {
        std::snprintf(StatusText, sizeof StatusText, "No NAK receive");
        std::fclose(f);
        return -1;
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
    int counter = 1;
    for (;;) {
        int got = ReadBlock(f);
        if (counter == 1 && HasImageMagic(XmodemBlock, XmodemBlockSize)) {
            for (int i = 0; i < HeaderReads; ++i) got = ReadBlock(f);
        }
        bool full = got == XmodemBlockSize;
        int answer = SendBlockForAnswer(counter);
        if (answer < 0) return EndTransfer(f, -1);
        if (answer == XmodemAck) {
            ShowProgress(static_cast<uint32_t>(counter) + 2);
            ++counter;
            if (full) continue;
        } else if (full) {
            return EndTransfer(f, -1);
        }
        const unsigned char eot = XmodemEot;
        SerialWrite(&eot, 1);
        return EndTransfer(f, got);
    }
}
