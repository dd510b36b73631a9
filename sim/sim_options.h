// What the command lines of orvane-bootsim and orvane-mkimage share, and the
// emulated scanner's fault injections.
#pragma once
#include <CLI/CLI.hpp>
#include <string>

#include "sim/bootsim.h"
#include "sim/sim_codec.h"

namespace sim {

// Repeating an option is an error, not a silent choice between two values.
CLI::Option* Once(CLI::Option* option);

// --customer, --module, --hardware and --software under `group`; the values
// `identity` holds now are the defaults shown.
void AddIdentityOptions(CLI::App& app, Identity& identity, const std::string& group);

// --fault F, repeatable; each fault is set in `options` as it is parsed.
void AddFaultOption(CLI::App& app, BootSimOptions& options);
// --line-seed, --line-faults-in, --line-faults-out and --line-fault-kinds.
void AddLineFaultOptions(CLI::App& app, LineFaults& faults);
// The faults --fault takes, a line each, for the help's footer.
std::string FaultHelp();

// Adds --version and parses. -1 to go on; otherwise the exit status to end
// with: 0 after --help or --version, 2 after a usage error (explained on
// standard error).
int ParseCommandLine(CLI::App& app, int argc, char** argv);

}  // namespace sim
