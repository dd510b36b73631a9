#include "line/line_workers.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Beyond this the database is behind: new work is turned away, not queued.
enum { MostWaitingJobs = 512 };
// A connection refused this recently is not tried again for every job.
constexpr auto kReconnectPause = std::chrono::seconds(1);

struct Workers {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<LineJob> jobs;
    std::vector<std::thread> threads;
    std::string conninfo;
    bool stopping = false;
    bool reachable = true;
    std::string downSince;
};

Workers& TheWorkers() {
    static Workers workers;
    return workers;
}

// Opens the worker's store when it has none and the last try was not just now.
LineStore* ReachStore(LineStore* store, std::chrono::steady_clock::time_point& lastTry) {
    if (store) return store;
    auto now = std::chrono::steady_clock::now();
    if (now - lastTry < kReconnectPause) return nullptr;
    lastTry = now;
    std::string why;
    store = OpenLineStore(TheWorkers().conninfo, why);
    NoteLineStoreResult(store ? StoreOk : StoreUnavailable);
    return store;
}

void Work() {
    Workers& w = TheWorkers();
    LineStore* store = nullptr;
    auto lastTry = std::chrono::steady_clock::now() - kReconnectPause;
    for (;;) {
        LineJob job;
        {
            std::unique_lock<std::mutex> guard(w.lock);
            w.wake.wait(guard, [&] { return w.stopping || !w.jobs.empty(); });
            if (w.jobs.empty()) break;
            job = std::move(w.jobs.front());
            w.jobs.pop_front();
        }
        store = ReachStore(store, lastTry);
        job(store);
    }
    CloseLineStore(store);
}

}  // namespace

bool StartLineWorkers(const std::string& conninfo, int count) {
    Workers& w = TheWorkers();
    w.conninfo = conninfo;
    w.stopping = false;
    for (int i = 0; i < count; ++i) w.threads.emplace_back(Work);
    return true;
}

bool QueueLineJob(LineJob job) {
    Workers& w = TheWorkers();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        if (w.stopping || w.jobs.size() >= MostWaitingJobs) return false;
        w.jobs.push_back(std::move(job));
    }
    w.wake.notify_one();
    return true;
}

void StopLineWorkers() {
    Workers& w = TheWorkers();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        w.stopping = true;
    }
    w.wake.notify_all();
    for (std::thread& t : w.threads) t.join();
    w.threads.clear();
}

bool LineDatabaseReachable(std::string& downSince) {
    Workers& w = TheWorkers();
    std::lock_guard<std::mutex> guard(w.lock);
    downSince = w.downSince;
    return w.reachable;
}

void NoteLineStoreResult(StoreResult result) {
    Workers& w = TheWorkers();
    std::lock_guard<std::mutex> guard(w.lock);
    if (result == StoreUnavailable && w.reachable) {
        w.reachable = false;
        w.downSince = LineTimeNow();
    } else if (result == StoreOk) {
        w.reachable = true;
        w.downSince.clear();
    }
}

std::string LineTimeNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03dZ", text, static_cast<int>(ms.count()));
    return full;
}
