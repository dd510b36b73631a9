#include "upgrade/xmodem.h"

#include <chrono>
#include <cstring>

#include "codec/image_header.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/trace.h"
#include "upgrade/image.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

enum { StartBudget = 2500, AnswerBudget = 5000, HeaderReads = 8 };

// A block's time on the wire, 10 bits a byte; an answer sooner than most of
// that cannot be the answer to it.
constexpr double WireMsPerBlock = XmodemWireBlockBytes * 10 * 1000.0 / UpgradeBaud;
constexpr double FastestPossibleMs = 0.9 * WireMsPerBlock;
constexpr double QuietFloorMs = 5;

// Kept from block to block and from transfer to transfer: a short read leaves
// the previous block's bytes behind its own.
unsigned char XmodemBlock[XmodemBlockSize];

// How soon the blocks sent once were answered in this transfer.
struct AnswerTimes {
    double fastestMs;
    double totalMs;
    int count;
} answerTimes;

// Waits for NAK, discarding anything else, within the overall limit.
bool AwaitStartSignal() {
    auto limit = Clock::now() + std::chrono::milliseconds(XmodemStartLimitMs);
    for (int others = 0;; ++others) {
        int byte = RxReadByte(StartBudget);
        if (byte == XmodemNak) {
            NoteExchange("start signal after %d other byte(s)", others);
            return true;
        }
        if (byte < 0 || Clock::now() >= limit) return false;
    }
}

// A block acknowledged is reported once the next block is on its way: the
// front end's work then takes nothing from the wire's time.
int32_t pendingAcked = 0;

void ShowPendingProgress() {
    if (pendingAcked) ReportProgress(StepBlockAcked, pendingAcked);
    pendingAcked = 0;
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
    UpgradeRun.block = counter;
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

// The answer to the block just sent; an unanswered block is sent again, and
// `copies` counts how often it went out. -1 when every resend went unanswered.
int AwaitAnswer(int counter, int& copies) {
    for (copies = 1;; ++copies) {
        int answer = RxReadByte(AnswerBudget);
        if (answer >= 0 || copies > XmodemMaxResends) return answer;
        ++UpgradeRun.blocksResent;
        NoteExchange("block %d drew no answer: sending it again", counter);
        SendBlock(counter);
    }
}

// Each copy of a repeated block may draw an answer of its own, late ones
// included: they are let in and dropped until the line has been quiet for a
// whole answer wait, so none is taken for the next block. More answers than
// copies is doubt.
bool SettleRepeatedBlock(int counter, int copies) {
    for (int extra = 0;;) {
        if (RxReadByte(AnswerBudget) < 0) return true;
        if (++extra >= copies) {
            NoteExchange("block %d drew more answers than it was sent", counter);
            return false;
        }
        NoteExchange("a further answer to block %d, dropped", counter);
    }
}

// How long to listen for a byte that should not come: twice the quiet floor
// and `usualShare` of the usual answer time, never past an answer wait.
int AnswerWindowMs(double usualShare) {
    const AnswerTimes& t = answerTimes;
    double ms = QuietFloorMs + (t.count > 0 ? usualShare * t.totalMs / t.count : 0);
    int budget = 2 * static_cast<int>(ms);
    return budget > AnswerBudget ? AnswerBudget : budget;
}

// On a line that has shown its rate, an answer faster than the block could
// cross it may answer something else: a byte doubled or made up by noise,
// which the scanner's own answer then follows. A line that stays quiet is
// faster than its nominal rate (a pseudo-terminal, a USB port) and was slow
// before only on a busy machine.
bool AnswerCameInTime(int counter, Clock::time_point sentAt, Clock::time_point answeredAt) {
    double ms = std::chrono::duration<double, std::milli>(answeredAt - sentAt).count();
    AnswerTimes& t = answerTimes;
    if (t.count > 0 && t.fastestMs >= FastestPossibleMs && ms < FastestPossibleMs) {
        if (RxReadByte(AnswerWindowMs(1)) >= 0) {
            NoteExchange("block %d answered after %.2f ms, before it could have arrived", counter,
                         ms);
            return false;
        }
        NoteExchange("block %d answered after %.2f ms: the line is faster than its rate", counter,
                     ms);
    }
    t.fastestMs = t.count == 0 || ms < t.fastestMs ? ms : t.fastestMs;
    t.totalMs += ms;
    ++t.count;
    return true;
}

// The last answer must have been the last one: a byte that follows it shows
// that the answers ran one ahead of the blocks, and the scanner's own answer
// to the last block is still to come.
bool LineStaysQuiet() {
    int extra = RxReadByte(AnswerWindowMs(0.5));
    if (extra >= 0) NoteExchange("0x%02x arrived after the last block's answer", extra);
    return extra < 0;
}

// The block after this one, read while this one is on the wire: it starts
// as a copy, as a short read leaves the bytes before it in place.
unsigned char ahead[XmodemBlockSize];

int ReadAhead() {
    std::memcpy(ahead, XmodemBlock, XmodemBlockSize);
    return ReadImage(ahead, XmodemBlockSize);
}

// Anything but a clean ACK ends the transfer; the reason, or TransferCompleted.
TransferEnd JudgeAnswer(int counter, bool last, Clock::time_point sentAt,
                        Clock::time_point writtenAt) {
    int copies = 0;
    int answer = AwaitAnswer(counter, copies);
    Clock::time_point answeredAt = Clock::now();
    if (answer < 0) return TransferUnanswered;
    if (answer != XmodemAck) {
        NoteExchange("block %d answered with 0x%02x instead of ACK", counter, answer);
        return TransferRejected;
    }
    if (copies > 1)
        return SettleRepeatedBlock(counter, copies) ? TransferCompleted : TransferSurplusAnswer;
    if (!AnswerCameInTime(counter, sentAt, answeredAt)) return TransferSurplusAnswer;
    // The adapter's share: from the block's last byte handed over to its answer.
    UpgradeRun.answerWaitUs +=
        std::chrono::duration_cast<std::chrono::microseconds>(answeredAt - writtenAt).count();
    ++UpgradeRun.answersTimed;
    return !last || LineStaysQuiet() ? TransferCompleted : TransferSurplusAnswer;
}

int SendImage() {
    if (!AwaitStartSignal()) {
        SetOutcome(OutcomeNoStartSignal);
        UpgradeRun.transferEnd = TransferNoStartSignal;
        return -1;
    }
    TraceLine("\n");
    RewindImage();
    answerTimes = AnswerTimes();
    int got = ReadFirstBlockData();
    for (int counter = 1;; ++counter) {
        if (got < 0) return EndTransfer(TransferImageShort, -1);
        bool full = got == XmodemBlockSize;
        // The last block goes out only when everything before it was the measured image.
        if (!full && !ImageReadAsMeasured()) return EndTransfer(TransferImageChanged, -1);
        // What waits before a block goes out was sent for none of ours. (Before
        // the first, a second start signal stands: it is taken as its answer.)
        if (counter > 1 && RxHasWaiting()) {
            NoteExchange("an answer nobody asked for waits before block %d", counter);
            return EndTransfer(TransferSurplusAnswer, -1);
        }
        ++UpgradeRun.blocksSent;
        Clock::time_point sentAt = Clock::now();
        SendBlock(counter);
        Clock::time_point writtenAt = Clock::now();
        ShowPendingProgress();
        int next = full ? ReadAhead() : 0;
        TransferEnd end = JudgeAnswer(counter, !full, sentAt, writtenAt);
        if (end != TransferCompleted) return EndTransfer(end, -1);
        pendingAcked = counter;
        if (full) {
            std::memcpy(XmodemBlock, ahead, XmodemBlockSize);
            got = next;
            continue;
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
    if (!ImageIsOpen(path)) {
        SetOutcome(OutcomeSenderCannotOpen, path);
        return -1;
    }
    return SendImage();
}
