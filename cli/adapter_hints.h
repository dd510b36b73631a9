// What the command line says about the adapter: the answer delay measured in
// an upgrade, the hints it leads to, and -v notes on what the driver did.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

// After an upgrade (`entry` as the run opened it): replies held back by the
// adapter, or a latency timer longer than the echo check waits.
void HintAdapterTiming(const std::string& entry);

// ", answer delay 7.9 ms" for the summary line; empty when nothing was timed.
std::string AnswerDelaySummary();

// The serial channel's notes at each open, for -v; each is shown once, as the
// --wait probe opens the port twice a second.
void NoteAdapter(const char* text);
