#include "serial/trace.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/background_writer.h"

namespace {

// Room for minutes of a busy line while standard output is held up.
enum { QueueBytes = 1 << 16 };

void WriteOut(void*, const char* bytes, size_t count) {
    std::fwrite(bytes, 1, count, stdout);
}

// Flushed after every round, so a monitored line shows bytes as they arrive.
void FlushOut(void*) {
    std::fflush(stdout);
}

const WriterSink kStdout = {WriteOut, FlushOut, nullptr, QueueBytes};

std::atomic<TraceSink> sink{nullptr};

}  // namespace

void TraceReceived(const unsigned char* bytes, int count) {
    if (TraceSink to = sink.load()) {
        to(bytes, count);
        return;
    }
    std::string line;
    line.reserve(2 * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == 0x0D) line += '\x0A';
        line += static_cast<char>(bytes[i]);
    }
    PostToWriter(&kStdout, std::move(line));
}

void TraceLine(const char* text) {
    if (sink.load()) return;
    PostToWriter(&kStdout, text);
}

void TraceFlush() {
    FlushWriter();
}

uint64_t TraceLostBytes() {
    return WriterLostBytes(&kStdout);
}

void SetTraceSink(TraceSink to) {
    sink = to;
}
