// The lock over an emulator's report. It hands its holder the priority of
// whoever waits for it: the emulator's thread may run at a real-time priority,
// and a reader of the report that the scheduler set aside while holding the
// lock must not keep it from answering.
#pragma once
#include <pthread.h>

namespace sim {

class ReportLock {
   public:
    ReportLock() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~ReportLock() { pthread_mutex_destroy(&mutex_); }
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

   private:
    pthread_mutex_t mutex_;
};

}  // namespace sim
