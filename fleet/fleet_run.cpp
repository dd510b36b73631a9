#include "fleet/fleet_run.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "fleet/child_process.h"

namespace {

enum { TickMs = 100 };

struct ChildLine {
    size_t slot;
    bool end;  // the child closed its standard error
    std::string text;
};

struct Run {
    std::mutex lock;  // over the lines and the children
    std::condition_variable arrived;
    std::deque<ChildLine> lines;
    std::vector<Child*> children;  // nullptr once ended
} run;

std::mutex modelLock;

void ReadLines(Child* child, size_t slot) {
    std::string text;
    while (ReadChildLine(child, text)) {
        std::lock_guard<std::mutex> guard(run.lock);
        run.lines.push_back({slot, false, text});
        run.arrived.notify_one();
    }
    std::lock_guard<std::mutex> guard(run.lock);
    run.lines.push_back({slot, true, ""});
    run.arrived.notify_one();
}

// Whatever a child said that is no event (a crash's last words, say) is kept
// as a message of its slot, for people.
RunEvent EventOf(const std::string& line) {
    RunEvent e;
    std::string why;
    if (DecodeEvent(line, e, why)) return e;
    return MessageEvent(MessageLevel::Info, line);
}

void Tell(const FleetModel& model, const FleetSetup& setup, size_t slot, const RunEvent& e) {
    for (const FleetView& view : setup.views)
        if (view.onEvent) view.onEvent(model, slot, e);
}

// Under the model's lock. An end's record is kept before any view shows the
// end: a result on the screen is a result on disk.
void Apply(FleetModel& model, const FleetSetup& setup, size_t slot, const RunEvent& e) {
    ApplyEvent(model, slot, e);
    if (e.kind != EventKind::End || !e.record.is_object() || !setup.keepRecord)
        return Tell(model, setup, slot, e);
    const FleetSlot& s = model.slots[slot];  // ApplyEvent read its record
    std::string why = s.endRecordWhy;
    bool kept = s.endRecordRead && setup.keepRecord(s.endRecord, why);
    Tell(model, setup, slot, e);
    if (kept) return;
    model.notRecorded = true;
    RunEvent warning = MessageEvent(MessageLevel::Warning, why);
    ApplyEvent(model, slot, warning);
    Tell(model, setup, slot, warning);
}

void Tick(FleetModel& model, const FleetSetup& setup) {
    for (const FleetView& view : setup.views)
        if (view.onTick) view.onTick(model);
}

bool AllEnded(const FleetModel& model) {
    for (const FleetSlot& s : model.slots)
        if (!s.childEnded) return false;
    return true;
}

void Start(FleetModel& model, const FleetSetup& setup, std::vector<std::thread>& readers) {
    std::vector<size_t> failed;
    {
        std::lock_guard<std::mutex> guard(run.lock);
        run.children.assign(model.slots.size(), nullptr);
        for (size_t i = 0; i < model.slots.size(); ++i) {
            run.children[i] = StartChild(setup.program, setup.arguments[i]);
            if (run.children[i])
                readers.emplace_back(ReadLines, run.children[i], i);
            else
                failed.push_back(i);
        }
    }
    std::lock_guard<std::mutex> guard(modelLock);
    for (size_t i : failed) {
        Apply(model, setup, i,
              MessageEvent(MessageLevel::Warning, "cannot start a process for this port"));
        EndSlot(model, i, ExitUpgradeFailed);
    }
}

// A child whose standard error closed is ending: its exit status is taken.
void EndChild(FleetModel& model, size_t slot) {
    Child* child = nullptr;
    {
        std::lock_guard<std::mutex> guard(run.lock);
        std::swap(child, run.children[slot]);
    }
    int status = child ? FinishChild(child) : ExitUpgradeFailed;
    std::lock_guard<std::mutex> guard(modelLock);
    EndSlot(model, slot, status);
}

}  // namespace

void RunFleet(FleetModel& model, const FleetSetup& setup) {
    std::vector<std::thread> readers;
    Start(model, setup, readers);
    auto lastTick = std::chrono::steady_clock::now();
    for (;;) {
        std::deque<ChildLine> got;
        {
            std::unique_lock<std::mutex> guard(run.lock);
            run.arrived.wait_for(guard, std::chrono::milliseconds(TickMs),
                                 [] { return !run.lines.empty(); });
            got.swap(run.lines);
        }
        for (const ChildLine& line : got) {
            if (line.end) {
                EndChild(model, line.slot);
                continue;
            }
            std::lock_guard<std::mutex> guard(modelLock);
            Apply(model, setup, line.slot, EventOf(line.text));
        }
        std::lock_guard<std::mutex> guard(modelLock);
        if (std::chrono::steady_clock::now() - lastTick >= std::chrono::milliseconds(TickMs)) {
            Tick(model, setup);
            lastTick = std::chrono::steady_clock::now();
        }
        if (AllEnded(model)) {
            Tick(model, setup);
            break;
        }
    }
    for (std::thread& t : readers) t.join();
}

std::mutex& FleetLock() {
    return modelLock;
}

void RequestAllChildren(ChildRequest request) {
    std::lock_guard<std::mutex> guard(run.lock);
    for (Child* child : run.children)
        if (child) SendToChild(child, EncodeRequest(request));
}

void RequestChild(size_t slot, ChildRequest request) {
    std::lock_guard<std::mutex> guard(run.lock);
    if (slot < run.children.size() && run.children[slot])
        SendToChild(run.children[slot], EncodeRequest(request));
}
