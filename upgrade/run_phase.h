// The phases of a run, as the upgrade reports them and every view and file
// names them: one enum, one table.
#pragma once
#include <string>

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

// The stable name, as events, recordings and pages carry it.
const char* RunPhaseName(RunPhase phase);
// The terminal's word for it; pages take theirs from their catalogs.
const char* RunPhaseLabel(RunPhase phase);
// False when `name` names no phase.
bool RunPhaseFromName(const std::string& name, RunPhase& phase);
