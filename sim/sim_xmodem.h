// The boot loader's side of an upload: an XMODEM receiver, checksum mode.
#pragma once
#include <cstddef>

#include "sim/sim_machine.h"

namespace sim {

enum class UploadEnd {
    Done,       // EOT received and acknowledged
    Aborted,    // a carriage return or CAN where a block should start
    GaveUp,     // nothing usable came for too long
    Closed,     // the emulator is stopping
    Unplugged,  // the unplug fault fired
};

struct UploadResult {
    UploadEnd end = UploadEnd::Closed;
    size_t bytes = 0;  // data bytes stored, 128 per accepted block
    int blocks = 0;    // accepted blocks
};

// Sends the start signal and takes blocks until EOT; the flash in the report
// is cleared first and then holds the data of every accepted block in order.
UploadResult ReceiveUpload(SimMachine& machine);

}  // namespace sim
