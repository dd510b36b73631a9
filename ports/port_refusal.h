// Why the Upgrade command refused a port entry, in one sentence, for the
// front ends to show beside "Cannot open this com port".
#pragma once
#include <string>

// The reason the device did not open; or, when the entry names no port of
// this system (false), a sentence that says so.
bool ExplainRefusedPort(const char* entry, std::string& reason);
