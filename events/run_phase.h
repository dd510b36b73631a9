// The phases of a run as every view and file names them: one enum, one table.
#pragma once
#include <string>

#include "upgrade/upgrade.h"

enum class RunPhase {
    Waiting,  // for a scanner to come
    Handshake,
    Identity,  // "whoru"
    KeyCode,
    FlashErase,
    ParameterErase,
    Upload,
    Start,    // the start step
    Done,     // the run has ended: its outcome says how
    Leaving,  // waiting for the scanner just upgraded to go
    Monitor,
    Count
};

// The stable name, as events and recordings carry it: "flash-erase".
const char* RunPhaseName(RunPhase phase);
// A word for people: "erasing".
const char* RunPhaseLabel(RunPhase phase);
// False when `name` names no phase.
bool RunPhaseFromName(const std::string& name, RunPhase& phase);

// Where an upgrade stands, from its record and the last step it reported.
RunPhase RunPhaseOfUpgrade(const UpgradeRecord& run);
