// An emulated scanner boot loader on a pseudo-terminal.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/line_faults.h"
#include "sim/sim_codec.h"
#include "sim/sim_replay.h"

namespace sim {

// Echo fault: fires on the character at `position` (0-based) of a typed line
// that begins with the first position+1 characters of `command` ("C" matches
// any key code).
struct EchoFault {
    std::string command;
    int position = 0;
    bool wrong = false;  // false: no echo at all; true: the character in the other case / changed
};

struct BootSimOptions {
    Identity identity = {"ORVANE", "5800", "HW-A1", "1.00.00"};
    int expectedKey = -1;        // image key the scanner wants; -1 accepts any or none
    bool plainIdentity = false;  // answer "whoru" with the plain (unscrambled) reply
    bool badIdentityChecksum = false;
    bool lineRate = false;  // deliver bytes no faster than 57600 baud 8N1, both ways
    uint32_t seed = 1;

    std::vector<EchoFault> echoFaults;
    bool silent = false;                     // never answer anything
    bool wrongPrompt = false;                // "\r\nboot>" instead of "\r\nBoot>"
    std::vector<std::string> noPromptAfter;  // commands whose reply lacks the closing prompt
    std::vector<int> noSuccessMark;          // erase number (1 flash, 2 parameter) without "^_^"
    int nakBlock = -1;                       // answer NAK to this block number (counter, 1-based)
    int garbageBlock = -1;                   // answer a garbage byte to this block
    int noAnswerBlock = -1;                  // swallow this block without an answer...
    int noAnswerTimes = 1;                   // ...this many times (large: for ever)
    int bytesBeforeNak = 0;                  // non-NAK bytes sent before the start signal
    bool endlessBeforeNak = false;           // never send NAK; stream other bytes instead
    int unplugAfterBlock = -1;               // close the line after ACKing this block
    int doubleAckBlock = -1;                 // the line doubles this block's ACK
    int holdAckBlock = -1;                   // the line holds this block's ACK back...
    int holdAckMs = 0;                       // ...this long, and everything after it
    LineFaults lineFaults;                   // random faults of a bad line, both ways
    // The data the scanner should end up with: accepted blocks are checked
    // against it, to tell a block damaged past its checksum.
    std::vector<uint8_t> expectedFlash;
    // Play this recording's scanner side instead of being a scanner.
    const Recording* replay = nullptr;
    double replaySpeed = 1;            // 0: no delays
    bool noPromptAfterUpload = false;  // ignore the start step's wake-up
    int goReplyDelayMs = 0;            // busy this long before answering "go"

    // Called on the emulator's thread: one readable line per executed command
    // or event, and the flash of every completed upload. Keep them short.
    std::function<void(const std::string&)> onLog;
    std::function<void(const std::vector<uint8_t>&)> onUpload;
    // Called with the block counter of each intact block, before it is answered.
    std::function<void(int)> onBlock;
};

struct EraseRecord {
    uint32_t address = 0;
    uint32_t sectors = 0;
    bool done = false;  // false: refused (locked) or malformed
};

struct BootSimReport {
    std::vector<std::string> commands;  // executed lines in order, raw bytes (key code included)
    std::vector<uint8_t> input;         // every byte received from the utility
    std::vector<std::vector<uint8_t>> keyCodes;  // nine-byte key codes received
    int keyReceived = -1;                        // key of the last valid key code, -1 when none
    bool keyAccepted = false;
    std::vector<uint8_t> flash;  // image of the last upload (data bytes as received, fill included)
    std::vector<int> blockNumbers;  // wire numbers of every block received, resends included
    int uploads = 0;                // uploads completed with EOT
    bool eot = false;               // the current or last upload ended with EOT
    std::vector<EraseRecord> erases;
    int wakes = 0;         // lone carriage returns answered with the prompt (not in commands)
    bool started = false;  // "go 5000" executed
    bool unplugged = false;
    unsigned settled = 0;  // the last settle request answered (see WaitUntilSettled)
    std::vector<LineFaultEvent> lineFaults;  // every fault the line injected
    int damagedAccepted = 0;      // blocks whose damage the checksum missed (expectedFlash)
    std::vector<uint8_t> output;  // every byte sent to the utility
    ReplayOutcome replay;
    bool replayEnded = false;  // the replay has played all it could
};

class BootSim {
   public:
    explicit BootSim(const BootSimOptions& options);
    ~BootSim();
    BootSim(const BootSim&) = delete;
    BootSim& operator=(const BootSim&) = delete;

    bool Start();  // opens the pseudo-terminal and starts serving it
    void Stop();
    const std::string& DevicePath() const;
    BootSimReport Report() const;
    // Waits until `done` holds for the report, or the time runs out.
    bool WaitFor(const std::function<bool(const BootSimReport&)>& done, int timeoutMs) const;
    // Waits until the emulator has taken in and handled every byte written to
    // it so far (or has stopped serving); false when the time runs out first.
    bool WaitUntilSettled(int timeoutMs) const;

   private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
