#include "serial/trace.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace {

// Room for minutes of a busy line while standard output is held up.
enum { QueueBytes = 1 << 16, WritePiece = 4096 };

// While bytes keep coming the writer looks every few milliseconds instead of
// being woken for each piece, which would take a core from the upgrade just
// as it answers what came; after a quiet second it sleeps until woken.
enum { LookMs = 10, LooksBeforeSleep = 100 };

struct TraceQueue {
    std::mutex lock;
    std::condition_variable filled, written;
    unsigned char bytes[QueueBytes];
    size_t head = 0, count = 0;
    bool writing = false;  // the writer holds bytes taken from the queue
    bool writerStarted = false;
    bool asleep = false;  // the writer waits to be woken
    uint64_t lost = 0;
};

// Never destroyed: the writer may still wait on it while the program ends.
TraceQueue& Queue() {
    alignas(TraceQueue) static unsigned char storage[sizeof(TraceQueue)];
    static TraceQueue* queue = new (storage) TraceQueue;
    return *queue;
}

std::atomic<TraceSink> sink{nullptr};

void WriteForever() {
    TraceQueue& q = Queue();
    unsigned char piece[WritePiece];
    std::unique_lock<std::mutex> guard(q.lock);
    for (int quiet = 0;;) {
        if (q.count == 0 && quiet < LooksBeforeSleep) {
            q.filled.wait_for(guard, std::chrono::milliseconds(LookMs));
            ++quiet;
            continue;
        }
        if (q.count == 0) {
            q.asleep = true;
            q.filled.wait(guard, [&q] { return q.count > 0; });
            q.asleep = false;
        }
        quiet = 0;
        size_t n = 0;
        for (; n < WritePiece && q.count > 0; ++n, --q.count) {
            piece[n] = q.bytes[q.head];
            q.head = (q.head + 1) % QueueBytes;
        }
        q.writing = true;
        guard.unlock();
        std::fwrite(piece, 1, n, stdout);
        std::fflush(stdout);
        guard.lock();
        q.writing = false;
        q.written.notify_all();
    }
}

// Under the lock. All of it, or nothing when it does not fit.
void Enqueue(const unsigned char* bytes, size_t n) {
    TraceQueue& q = Queue();
    if (!q.writerStarted) {
        std::thread(WriteForever).detach();
        q.writerStarted = true;
    }
    if (n > QueueBytes - q.count) {
        q.lost += n;
        return;
    }
    for (size_t i = 0; i < n; ++i) q.bytes[(q.head + q.count + i) % QueueBytes] = bytes[i];
    q.count += n;
    if (q.asleep) q.filled.notify_one();
}

}  // namespace

void TraceReceived(const unsigned char* bytes, int count) {
    TraceQueue& q = Queue();
    if (TraceSink to = sink.load()) {
        to(bytes, count);
        return;
    }
    unsigned char line[2 * 128];
    std::lock_guard<std::mutex> guard(q.lock);
    for (int done = 0; done < count;) {
        size_t n = 0;
        for (; done < count && n < 128; ++done) {
            if (bytes[done] == 0x0D) line[n++] = 0x0A;
            line[n++] = bytes[done];
        }
        Enqueue(line, n);
    }
}

void TraceLine(const char* text) {
    TraceQueue& q = Queue();
    if (sink.load()) return;
    std::lock_guard<std::mutex> guard(q.lock);
    Enqueue(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

void TraceFlush() {
    TraceQueue& q = Queue();
    std::unique_lock<std::mutex> guard(q.lock);
    q.filled.notify_one();
    q.written.wait(guard, [&q] { return q.count == 0 && !q.writing; });
}

uint64_t TraceLostBytes() {
    TraceQueue& q = Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    return q.lost;
}

void SetTraceSink(TraceSink to) {
    sink = to;
}
