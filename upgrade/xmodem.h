// Block transfer sender: XMODEM with 128-byte blocks and an 8-bit checksum.
#pragma once

enum {
    XmodemNak = 0x15,
    XmodemAck = 0x06,
    XmodemSoh = 0x01,
    XmodemEot = 0x04,
    XmodemBlockSize = 128,
    // An unanswered block is sent again at most this many times.
    XmodemMaxResends = 10,
    // The wait for the start signal ends after this long in all, however busy the line.
    XmodemStartLimitMs = 10000,
};

// Sends the image (without its 1024-byte header, when it has one). -1 when the
// transfer failed, otherwise the number of file bytes in the last block.
int XmodemSend(const char* path);

// The block buffer: kept from block to block and from transfer to transfer.
extern unsigned char XmodemBlock[XmodemBlockSize];
