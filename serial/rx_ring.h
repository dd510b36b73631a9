// Receive ring: every byte the scanner sends, waiting for the upgrade to take
// it. 4096 slots, so at most 4095 unread bytes.
#pragma once

// Appends the bytes, dropping the oldest unread bytes past 4095.
void RxPush(const unsigned char* bytes, int count);

// The next byte 0..255, or -1 when none arrives within the budget
// (milliseconds charged 2 per 1-ms pause). A waiting byte is returned at once.
int RxReadByte(int budget_ms);

// Discards every unread byte.
void RxFlush();

// True when a byte waits to be read, in the ring or still in the driver.
bool RxHasWaiting();

// How many received bytes wait in the driver, not yet taken in by the reader
// thread; set by the serial channel. A byte that reached the driver within
// the budget has come, however late a busy machine lets the reader run.
typedef int (*RxDriverBacklog)();
void RxSetDriverBacklog(RxDriverBacklog backlog);

// Set by the reader around taking bytes from the driver: they are on their
// way to the ring, though neither the driver nor the ring shows them.
void RxSetDraining(bool draining);

// Set by the serial link when its device is gone or closed: an empty ring then
// answers -1 at once, since nothing more can arrive.
void RxSetLinkDown(bool down);
bool RxLinkIsDown();

// From now on every read answers -1 at once, bytes waiting or not. Wakes a
// read that is waiting; safe from any thread.
void RxHalt();
bool RxHalted();
