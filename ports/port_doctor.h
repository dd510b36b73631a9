// The verdict on a port's set-up: what stands in the way of an upgrade, and
// for each problem the exact fix.
#pragma once
#include <string>
#include <vector>

#include "ports/port_facts.h"

struct PortFinding {
    std::string code;  // short and stable, for scripts: "held", "denied", "brltty", ...
    bool blocking;     // the port is not ready while this stands
    std::string problem;
    std::string fix;
};

std::vector<PortFinding> JudgePort(const PortFacts& facts);

bool PortIsReady(const std::vector<PortFinding>& findings);

// Above this an adapter's latency timer is worth lowering.
enum { LatencyWorthLoweringMs = 2 };
