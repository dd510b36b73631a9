// What an interrupt means to the command line: the first one stops the
// upgrade in progress (or, in production mode, the run after it); a second
// one always stops at once.
#pragma once
#include "upgrade/outcome.h"

enum InterruptPolicy {
    InterruptStopsAtOnce,
    InterruptFinishesFirst  // --loop: the upgrade in progress runs to its end
};

void StartInterrupts(InterruptPolicy policy);

// An interrupt of `signalNumber`. A second one ends the program at once when
// it has not ended by itself within a few seconds.
void Interrupt(int signalNumber);
// An interrupt that stops the upgrade in progress whatever the policy: a
// parent's second Ctrl-C, passed on.
void InterruptAtOnce(int signalNumber);
// A request to stop once nothing is in progress; never stops an upgrade.
void RequestStop();
// A request to take the scanner on the port again now, instead of waiting
// for it to leave; taken once.
void RequestRetry();
bool TakeRetryRequest();

bool StopRequested();   // some interrupt or request came
bool Interrupted();     // the upgrade in progress was stopped
int InterruptSignal();  // the signal that came last, 0 when none
int InterruptCount();

// Sleeps `ms` unless a stop (false) or a retry is requested meanwhile.
bool PauseUnlessStopped(int ms);
// Until a stop is requested.
void WaitUntilStopRequested();

// What an interrupt would leave of the scanner now, said if a second one has
// to end the program at once.
void NoteScannerState(UpgradeOutcome ifStoppedNow);

// Tells a handler that waits for the program's end (the Windows console's
// close) that it may return.
void NoteProgramEnding();
bool WaitForProgramEnd(int ms);
