// What one port's run tells the world, as typed events: the upgrade's
// progress turned into phases and figures, the identities, hints, trace
// lines, messages and how each upgrade ended. One view shows them: the
// terminal (a live bar, or plain lines), JSON Lines on standard output for a
// script (--json), or JSON Lines on standard error for the parent that runs
// several ports. Views write through the background writer: the upgrade
// hands each event over and goes on, however long the terminal takes.
#pragma once
#include <string>
#include <vector>

#include "cli/options.h"
#include "events/run_events.h"
#include "upgrade/progress.h"

enum RunView { ViewLive, ViewPlain, ViewJson, ViewParent };

void StartRunOutput(RunView view, Verbosity verbosity, const std::string& port);
// Everything handed over is written.
void StopRunOutput();

// From any thread.
void EmitEvent(const RunEvent& event);
// The name of the first hint given since the upgrade began; "" when none.
std::string FirstHintName();

// An event as one JSON line on standard output, for a script reading
// several ports; a progress report with a key replaces the last one waiting.
void PrintEventJson(const RunEvent& event, int progressKey);

// The identities as the last reply and the measured header decoded them.
IdentityTexts ScannerTexts();
IdentityTexts ImageTexts();

// The hooks the upgrade reports through.
const ProgressHooks* RunProgressHooks();

// A new upgrade begins with this image: its clock, and its Image event.
void BeginUpgradeOutput(const std::string& image);

// The end of one upgrade: its outcome, exit status and record.
void EmitEnd(UpgradeOutcome outcome, const std::string& message, int exitStatus,
             const nlohmann::json& record);

// A -v note of the front end's own, shown like the upgrade's notes.
void EmitNote(const char* text);

// An override question, asked on the terminal; in the other views it and its
// answer are messages.
void ShowQuestion(const char* caption, const std::vector<std::string>& lines);
void ShowAnswerLine(const std::string& text);
void ShowPrompt(const char* prompt);
void EndAnswer();

// The received bytes, when they cannot go to standard output as they are (it
// is the terminal the bar is on, or it carries events): trace lines instead.
void CollectTrace(const unsigned char* bytes, int count);
