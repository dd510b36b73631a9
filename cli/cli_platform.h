// What the command-line front end needs of the platform.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

// First thing in main, before any other thread exists: what the platform
// needs set up for the whole program.
void PreparePlatform();

// For the length of an upgrade, a console that holds up its writers while
// the user selects text in it is told not to; RestoreConsole puts it back.
void KeepConsoleFlowing();
void RestoreConsole();

// A person can answer a question there: an interactive terminal (on Windows a
// real console, never NUL or a pipe).
bool StdinIsConsole();
bool StderrIsTerminal();
// Standard output is the very terminal that standard error draws on.
bool StdoutSharesTerminal();
int TerminalColumns();  // 80 when unknown
// Cursor movement for rows redrawn in place; false where the terminal has none.
bool EnableTerminalControls();

// From now on each interrupt (Ctrl-C, SIGTERM, SIGHUP; on Windows the
// console's Ctrl-C, Ctrl-Break and close) calls `onInterrupt` with its signal
// number, and, when `onParentRequest` is given, each byte the parent sends on
// standard input calls it too (with 0 once the parent is gone): on a thread
// of the program's own that StopWatching ends and joins. A console's close,
// which ends the process once it has been handled, first waits with
// `waitForEnd(ms)` for the program to end by itself.
void WatchInterrupts(void (*onInterrupt)(int signalNumber), bool (*waitForEnd)(int ms),
                     void (*onParentRequest)(char request));
void StopWatching();

// Ends the program at once with `status`, whatever its threads are doing;
// `line` is written to standard error only when that cannot wait.
[[noreturn]] void EndProgramNow(int status, const char* line);

// One line typed on standard input, without its line end; false at the end of
// the input, or once an interrupt came.
bool ReadAnswer(char* line, int capacity);

// Now, in local time with its UTC offset: "2026-12-09T14:03:27+01:00".
std::string LocalTimeNow();

// Opens the address in the desktop's default browser, without waiting for
// it; false when there is none to ask.
bool OpenInBrowser(const std::string& url);

// A file the program writes (a report, a recording), opened without blocking
// and kept only when it is a regular file: appended to, or with `createNew`
// made anew and refused when the name is taken. nullptr with the reason.
std::FILE* OpenOutputFile(const std::string& path, bool createNew, std::string& why);
// Moves a finished file into place: over `to` (a link there is replaced, not
// followed), or with `replace` false only when `to` does not exist yet.
enum MoveResult { Moved, MoveNameTaken, MoveFailed };
MoveResult MoveOutputFile(const std::string& from, const std::string& to, bool replace,
                          std::string& why);
