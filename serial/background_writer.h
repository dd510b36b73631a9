// One thread that writes what the program hands it (the trace, the command
// line's display, recordings, events for scripts), so that no thread that
// talks to the scanner ever waits for a terminal, a pipe or a file.
//
// Pieces are written in the order they were handed over. Each sink has a
// bound on what may wait for it: a piece that does not fit is dropped and
// counted, never waited for. A piece with a key replaces one of the same
// sink and key that is still waiting (the newest progress wins). The thread
// starts with the first piece and ends, joined, in StopBackgroundWriter or
// when the program exits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct WriterSink {
    // Writes the bytes; called on the writer's thread only.
    void (*write)(void* context, const char* bytes, size_t count);
    // After each round of writes; may be nullptr.
    void (*flush)(void* context);
    void* context;
    size_t bound;  // bytes that may wait for this sink
};

// False when the piece did not fit and was dropped.
bool PostToWriter(const WriterSink* sink, std::string bytes, int key = 0);

// Waits until everything handed over before the call has been written.
void FlushWriter();

// Writes what waits, then ends and joins the thread; a later piece starts it again.
void StopBackgroundWriter();

// Bytes dropped for `sink` because they did not fit.
uint64_t WriterLostBytes(const WriterSink* sink);
