#include "upgrade/xmodem.h"

#include <chrono>
#include <cstdio>

#include "codec/image_header.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/trace.h"
#include "upgrade/image.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

enum { StartBudget = 2500, AnswerBudget = 5000, HeaderReads = 8 };

// Kept from block to block and from transfer to transfer: a short read leaves
// the previous block's bytes behind its own.
unsigned char XmodemBlock[XmodemBlockSize];

// Waits for NAK, discarding anything else, within the overall limit.
bool AwaitStartSignal() {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(XmodemStartLimitMs);
    for (int others = 0;; ++others) {
        int byte = RxReadByte(StartBudget);
        if (byte == XmodemNak) {
            NoteExchange("start signal after %d other byte(s)", others);
            return true;
        }
        if (byte < 0 || std::chrono::steady_clock::now() >= limit) return false;
    }
}

int EndTransfer(TransferEnd end, int result) {
    UpgradeRun.transferEnd = end;
    TraceLine("\n");
    return result;
}

// The next block's data: the count read, or -1 when the file came up short.
int ReadBlockData(int counter) {
    int got = ReadImage(XmodemBlock, XmodemBlockSize);
    // The magic is looked for in what the file holds, never in an old block.
    if (counter == 1 && got >= 4 && HasImageMagic(XmodemBlock, got)) {
        for (int i = 0; i < HeaderReads && got >= 0; ++i)
            got = ReadImage(XmodemBlock, XmodemBlockSize);
    }
    return got;
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
    ++UpgradeRun.blocksSent;
    for (int sends = 0; sends <= XmodemMaxResends; ++sends) {
        if (sends > 0) {
            ++UpgradeRun.blocksResent;
            NoteExchange("block %d drew no answer: sending it again", counter);
        }
        SendBlock(counter);
        int answer = RxReadByte(AnswerBudget);
        if (answer >= 0) return answer;
    }
    return -1;
}

int SendImage() {
    if (!AwaitStartSignal()) {
        std::snprintf(StatusText, sizeof StatusText, "No NAK receive");
        UpgradeRun.transferEnd = TransferNoStartSignal;
        return -1;
    }
    TraceLine("\n");
    RewindImage();
    for (int counter = 1;; ++counter) {
        int got = ReadBlockData(counter);
        if (got < 0) return EndTransfer(TransferImageShort, -1);
        bool full = got == XmodemBlockSize;
        // The last block goes out only when everything before it was the measured image.
        if (!full && !ImageReadAsMeasured()) return EndTransfer(TransferImageChanged, -1);
        int answer = SendBlockForAnswer(counter);
        if (answer < 0) return EndTransfer(TransferUnanswered, -1);
        if (answer == XmodemAck) {
            ShowProgress(static_cast<uint32_t>(counter) + 2);
            if (full) continue;
        } else if (full) {
            NoteExchange("block %d answered with 0x%02x instead of ACK", counter, answer);
            return EndTransfer(TransferRejected, -1);
        }
        const unsigned char eot = XmodemEot;
        SerialWrite(&eot, 1);
        NoteExchange("EOT sent after %d block(s)", counter);
        return EndTransfer(TransferCompleted, got);
    }
}

}  // namespace

int XmodemSend(const char* path) {
    bool opened = !ImageIsOpen(path);
    if (opened && OpenImage(path) < 0) {
        std::snprintf(StatusText, sizeof StatusText, "Cannot open %s", path);
        return -1;
    }
    int result = SendImage();
    if (opened) CloseImage();
    return result;
}
