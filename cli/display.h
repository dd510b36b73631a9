// What one upgrade shows on standard error: a live bar on a terminal, plain
// lines otherwise, or events for a parent that shows several ports. Progress
// and notes are drawn by a thread of the display's own: the upgrade hands
// them over and goes on, however long the terminal takes.
#pragma once
#include <cstdint>
#include <string>

#include "cli/options.h"
#include "upgrade/progress.h"

enum DisplayMode { DisplayLive, DisplayPlain, DisplayEvents };

void StartDisplay(DisplayMode mode, Verbosity verbosity, const std::string& port);
// Draws what is still pending and ends the display's thread.
void StopDisplay();

// The hooks the upgrade reports through.
const ProgressHooks* DisplayProgressHooks();

// A new upgrade begins: its clock, counters and image name.
void DisplayNewUpgrade(const std::string& image);

// A -v note of the front end's own, shown like the upgrade's notes.
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
