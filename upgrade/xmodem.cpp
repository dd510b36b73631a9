#include "upgrade/xmodem.h"

#include <chrono>
#include <cstdio>
#include <cstring>

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

// The position of a block acknowledged, shown once the next block is on its
// way: the display's work then takes nothing from the wire's time.
uint32_t pendingProgress = 0;

void ShowPendingProgress() {
    if (pendingProgress) ShowProgress(pendingProgress);
    pendingProgress = 0;
}

int EndTransfer(TransferEnd end, int result) {
    ShowPendingProgress();
    UpgradeRun.transferEnd = end;
    TraceLine("\n");
    return result;
}

// The first block's data, past the header when the file begins with its
// magic: the count read, or -1 when the file came up short.
int ReadFirstBlockData() {
    int got = ReadImage(XmodemBlock, XmodemBlockSize);
    // The magic is looked for in what the file holds, never in an old block.
    if (got >= 4 && HasImageMagic(XmodemBlock, got)) {
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

// The answer to the block sent at `sent`; an unanswered block is sent again.
// -1 when every resend went unanswered. Only a block sent once times its answer.
int AwaitAnswer(int counter, std::chrono::steady_clock::time_point sent) {
    for (int resends = 0;; ++resends) {
        int answer = RxReadByte(AnswerBudget);
        if (answer >= 0 && resends == 0) {
            UpgradeRun.answerWaitUs += std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::steady_clock::now() - sent)
                                           .count();
            ++UpgradeRun.answersTimed;
        }
        if (answer >= 0 || resends == XmodemMaxResends) return answer;
        ++UpgradeRun.blocksResent;
        NoteExchange("block %d drew no answer: sending it again", counter);
        SendBlock(counter);
    }
}

// The block after this one, read while this one is on the wire: it starts
// as a copy, as a short read leaves the bytes before it in place.
unsigned char ahead[XmodemBlockSize];

int ReadAhead() {
    std::memcpy(ahead, XmodemBlock, XmodemBlockSize);
    return ReadImage(ahead, XmodemBlockSize);
}

int SendImage() {
    if (!AwaitStartSignal()) {
        std::snprintf(StatusText, sizeof StatusText, "No NAK receive");
        UpgradeRun.transferEnd = TransferNoStartSignal;
        return -1;
    }
    TraceLine("\n");
    RewindImage();
    int got = ReadFirstBlockData();
    for (int counter = 1;; ++counter) {
        if (got < 0) return EndTransfer(TransferImageShort, -1);
        bool full = got == XmodemBlockSize;
        // The last block goes out only when everything before it was the measured image.
        if (!full && !ImageReadAsMeasured()) return EndTransfer(TransferImageChanged, -1);
        ++UpgradeRun.blocksSent;
        SendBlock(counter);
        auto sent = std::chrono::steady_clock::now();
        ShowPendingProgress();
        int next = full ? ReadAhead() : 0;
        int answer = AwaitAnswer(counter, sent);
        if (answer < 0) return EndTransfer(TransferUnanswered, -1);
        if (answer == XmodemAck) {
            pendingProgress = static_cast<uint32_t>(counter) + 2;
            if (full) {
                std::memcpy(XmodemBlock, ahead, XmodemBlockSize);
                got = next;
                continue;
            }
        } else if (full) {
            NoteExchange("block %d answered with 0x%02x instead of ACK", counter, answer);
            return EndTransfer(TransferRejected, -1);
        }
        ShowPendingProgress();
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
