// orvane-flash ports: every serial port with what the system tells of it.
#pragma once
#include <nlohmann/json.hpp>

#include "ports/port_details.h"

// Lines for people, or with `json` one object {"ports": [...]} for scripts.
int ListPorts(bool json);

// One port as `ports --json` and `doctor --json` give it.
nlohmann::json PortJson(const PortDetails& port);
