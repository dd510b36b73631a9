// Block transfer sender: XMODEM with 128-byte blocks and an 8-bit checksum.
#pragma once

enum {
    XmodemNak = 0x15,
    XmodemAck = 0x06,
    XmodemSoh = 0x01,
    XmodemEot = 0x04,
    XmodemBlockSize = 128,
    // SOH, number, complement, the data and the checksum, as a block crosses the line.
    XmodemWireBlockBytes = XmodemBlockSize + 4,
    // An unanswered block is sent again at most this many times.
    XmodemMaxResends = 10,
    // The wait for the start signal ends after this long in all, however busy the line.
    XmodemStartLimitMs = 10000,
};

// Sends the image (without its 1024-byte header, when it has one) that the
// upgrade measured under this path; an image not open under it cannot be
// sent. -1 when the transfer failed: a block answered with anything but ACK
// (the last one too), an answer that cannot belong to the block it came
// after, or a file that delivered less than was measured or changed since;
// otherwise the number of file bytes in the last block.
int XmodemSend(const char* path);
