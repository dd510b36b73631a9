// What one upgrade shows on standard error: a live bar on a terminal, plain
// lines otherwise, or events for a parent that shows several ports.
#pragma once
#include <cstdint>
#include <string>

#include "cli/options.h"

enum DisplayMode { DisplayLive, DisplayPlain, DisplayEvents };

void StartDisplay(DisplayMode mode, Verbosity verbosity, const std::string& port);

// A new upgrade begins: its clock, counters and image name.
void DisplayNewUpgrade(const std::string& image);

// The core's display hooks.
void DisplayStatusLine(const char* text);
void DisplayRange(unsigned low, unsigned high);
void DisplayPosition(uint32_t position);
void DisplayNote(const char* text);

// A line of the front end's own ("hint: ...", "warning: ...", a question),
// above the bar; `always` shows it even with -q.
void DisplayLine(const std::string& text, bool always = false);
// While waiting for a scanner to come or to go.
void DisplayWaiting(const std::string& text);
// An override question and its answer, whole lines of their own.
void DisplayQuestion(const char* caption, const char* text);
// The prompt of a question, answered on the same line.
void DisplayPrompt(const char* prompt);
void DisplayAnswerEnded();

// The end of one upgrade: one summary line, then the result message last.
void DisplayResult(const char* message, int exitStatus);
// Production mode's running count.
void DisplayTally(int done, int failed);

// A child's record of an upgrade, for the parent to append.
void DisplayReportLine(const std::string& line);

// The received bytes, when standard output is the terminal the bar is on.
void CollectTrace(const unsigned char* bytes, int count);
