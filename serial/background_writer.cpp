#include "serial/background_writer.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// While pieces keep coming the writer looks every few milliseconds instead of
// being woken for each one, which would take a core from the upgrade just as
// it answers what came; after a quiet second it sleeps until woken.
enum { LookMs = 10, LooksBeforeSleep = 100 };

struct Piece {
    const WriterSink* sink;
    std::string bytes;
    int key;
};

struct SinkCount {
    size_t waiting = 0;
    uint64_t lost = 0;
};

struct Writer {
    std::mutex lock;
    std::condition_variable posted, written;
    std::deque<Piece> queue;
    std::map<const WriterSink*, SinkCount> counts;
    uint64_t handedOver = 0, done = 0;  // pieces, for FlushWriter
    bool asleep = false, stop = false;
    std::thread thread;

    ~Writer() { Stop(); }

    void Stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!thread.joinable()) return;
            stop = true;
        }
        posted.notify_one();
        thread.join();
        stop = false;
    }
};

Writer& TheWriter() {
    static Writer writer;
    return writer;
}

void WriteRound(std::deque<Piece>& pieces) {
    std::vector<const WriterSink*> touched;
    for (const Piece& p : pieces) {
        p.sink->write(p.sink->context, p.bytes.data(), p.bytes.size());
        bool seen = false;
        for (const WriterSink* s : touched) seen = seen || s == p.sink;
        if (!seen) touched.push_back(p.sink);
    }
    for (const WriterSink* s : touched)
        if (s->flush) s->flush(s->context);
}

void Run() {
    Writer& w = TheWriter();
    std::unique_lock<std::mutex> guard(w.lock);
    for (int quiet = 0;;) {
        if (w.queue.empty() && w.stop) return;
        if (w.queue.empty() && quiet < LooksBeforeSleep) {
            w.posted.wait_for(guard, std::chrono::milliseconds(LookMs));
            ++quiet;
            continue;
        }
        if (w.queue.empty()) {
            w.asleep = true;
            w.posted.wait(guard, [&w] { return !w.queue.empty() || w.stop; });
            w.asleep = false;
            continue;
        }
        quiet = 0;
        std::deque<Piece> pieces;
        pieces.swap(w.queue);
        uint64_t upto = w.handedOver;
        for (const Piece& p : pieces) w.counts[p.sink].waiting -= p.bytes.size();
        guard.unlock();
        WriteRound(pieces);
        guard.lock();
        w.done = upto;
        w.written.notify_all();
    }
}

// Under the lock: a waiting piece of the same sink and key takes the new bytes.
bool Replace(Writer& w, const WriterSink* sink, std::string& bytes, int key) {
    for (auto it = w.queue.rbegin(); key != 0 && it != w.queue.rend(); ++it) {
        if (it->sink != sink || it->key != key) continue;
        SinkCount& count = w.counts[sink];
        count.waiting = count.waiting - it->bytes.size() + bytes.size();
        it->bytes = std::move(bytes);
        return true;
    }
    return false;
}

}  // namespace

bool PostToWriter(const WriterSink* sink, std::string bytes, int key) {
    Writer& w = TheWriter();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!w.thread.joinable()) w.thread = std::thread(Run);
    if (Replace(w, sink, bytes, key)) return true;
    SinkCount& count = w.counts[sink];
    if (bytes.size() > sink->bound - std::min(count.waiting, sink->bound)) {
        count.lost += bytes.size();
        return false;
    }
    count.waiting += bytes.size();
    w.queue.push_back({sink, std::move(bytes), key});
    ++w.handedOver;
    if (w.asleep) w.posted.notify_one();
    return true;
}

void FlushWriter() {
    Writer& w = TheWriter();
    std::unique_lock<std::mutex> guard(w.lock);
    if (!w.thread.joinable()) return;
    uint64_t upto = w.handedOver;
    w.posted.notify_one();
    w.written.wait(guard, [&w, upto] { return w.done >= upto; });
}

void StopBackgroundWriter() {
    TheWriter().Stop();
}

uint64_t WriterLostBytes(const WriterSink* sink) {
    Writer& w = TheWriter();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.counts.find(sink);
    return it == w.counts.end() ? 0 : it->second.lost;
}
