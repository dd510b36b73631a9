// The emulator's serving thread runs ahead of ordinary threads where the
// system allows it, so a busy machine does not make the scanner answer late;
// the thread that starts the emulator keeps its own scheduling.
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "sim/bootsim.h"

namespace {

std::vector<pid_t> ThreadsOfThisProcess() {
    std::vector<pid_t> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return threads;
    while (dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') threads.push_back(std::atoi(entry->d_name));
    closedir(tasks);
    return threads;
}

// Whether a thread of this process may take the real-time class at all: root
// or CAP_SYS_NICE, in a control group that grants real-time time.
bool RealTimeAllowed() {
    bool allowed = false;
    std::thread probe([&allowed] {
        sched_param param = {};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        allowed = sched_setscheduler(0, SCHED_FIFO, &param) == 0;
    });
    probe.join();
    return allowed;
}

}  // namespace

TEST(BootSimPriority, OnlyTheServingThreadRunsRealTimeAndItsChildrenWouldNot) {
    const bool allowed = RealTimeAllowed();
    sim::BootSim sim{sim::BootSimOptions()};
    ASSERT_TRUE(sim.Start());
    ASSERT_TRUE(sim.WaitUntilSettled(5000));  // serving, so its priority is set

    std::vector<pid_t> realTime;
    for (pid_t thread : ThreadsOfThisProcess()) {
        const int policy = sched_getscheduler(thread);
        if (thread == gettid()) {
            EXPECT_EQ(SCHED_OTHER, policy);
        } else if ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO) {
            realTime.push_back(thread);
            EXPECT_TRUE(policy & SCHED_RESET_ON_FORK);
        }
    }
    EXPECT_EQ(allowed ? 1u : 0u, realTime.size());
}
