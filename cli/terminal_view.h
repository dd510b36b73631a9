// One port's run on a terminal (standard error): a live bar that fits the
// terminal's width, or plain lines where there is no terminal, with hints,
// messages and the result message last. It only formats; the background
// writer writes. Called under the run output's lock.
#pragma once
#include <cstdint>
#include <string>

#include "cli/options.h"
#include "events/run_events.h"

void StartTerminalView(bool live, Verbosity verbosity, const std::string& port);

// Text for standard error, through the background writer; a piece with a key
// replaces the one before it when that one, of the same key, waits still.
void PutToStderr(std::string text, int key = 0);

// "3 upgraded, 1 failed", with ", 2 already current" when there were such.
std::string TallyText(int done, int failed, int current);

// A new upgrade of `image` begins.
void ResetTerminalView(const std::string& image);

void ShowOnTerminal(const RunEvent& event);

// A line of a question or its answer, always shown; a prompt answered on its line.
void ShowLineOnTerminal(const std::string& text);
void ShowPromptOnTerminal(const char* prompt);
void EndPromptOnTerminal();

// Received bytes held back because standard output is this very terminal.
void NoteTraceHeldBack(long bytes);
