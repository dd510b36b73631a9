// Keeps the received-byte trace on standard output out of the test log,
// unless the test failed (the failure messages are captured with it).
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "serial/trace.h"

class TraceCapture {
   public:
    TraceCapture() { testing::internal::CaptureStdout(); }
    ~TraceCapture() {
        TraceFlush();
        std::string out = testing::internal::GetCapturedStdout();
        if (testing::Test::HasFailure()) std::fwrite(out.data(), 1, out.size(), stdout);
    }
    // What was written since the last call; capturing goes on.
    std::string Take() {
        TraceFlush();
        std::string out = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return out;
    }
};
