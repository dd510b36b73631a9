#include "serial/trace.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TraceSink> sink{nullptr};
}

void TraceReceived(const unsigned char* bytes, int count) {
    if (TraceSink to = sink.load()) {
        to(bytes, count);
        return;
    }
    unsigned char line[2 * 128];
    for (int done = 0; done < count;) {
        int n = 0;
        for (; done < count && n < 128; ++done) {
            if (bytes[done] == 0x0D) line[n++] = 0x0A;
            line[n++] = bytes[done];
        }
        std::fwrite(line, 1, n, stdout);
    }
    std::fflush(stdout);
}

void TraceLine(const char* text) {
    if (sink.load()) return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void SetTraceSink(TraceSink to) {
    sink = to;
}
