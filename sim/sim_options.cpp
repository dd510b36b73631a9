#include "sim/sim_options.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

namespace sim {
namespace {

// How a fault's argument follows its name.
enum class FaultArgument { None, Number, Command, CommandPosition, NumberTimes, NumberMs };

struct FaultValues {
    std::string command;
    int number = 0;
    int times = 1;
};

struct Fault {
    const char* name;
    FaultArgument argument;
    const char* help;
    void (*apply)(const FaultValues& values, BootSimOptions& options);
};

// Short names keep each entry of the table to a few lines.
using V = const FaultValues&;
using O = BootSimOptions&;

const Fault kFaults[] = {
    {"echo-none", FaultArgument::CommandPosition,
     "no echo of character POS (0-based) of CMD (\"C\": key code)",
     [](V v, O o) {
         o.echoFaults.push_back({v.command, v.number, false});
     }},
    {"echo-wrong", FaultArgument::CommandPosition, "a changed echo of that character",
     [](V v, O o) {
         o.echoFaults.push_back({v.command, v.number, true});
     }},
    {"silent", FaultArgument::None, "answer nothing at all", [](V, O o) { o.silent = true; }},
    {"wrong-prompt", FaultArgument::None, "\"\\r\\nboot>\" instead of \"\\r\\nBoot>\"",
     [](V, O o) { o.wrongPrompt = true; }},
    {"no-prompt", FaultArgument::Command, "no closing prompt after commands starting with CMD",
     [](V v, O o) { o.noPromptAfter.push_back(v.command); }},
    {"no-success", FaultArgument::Number,
     "no \"^_^\" for the Nth erase of a session (1 flash, 2 parameter)",
     [](V v, O o) { o.noSuccessMark.push_back(v.number); }},
    {"bad-checksum", FaultArgument::None, "a wrong checksum byte in the whoru reply",
     [](V, O o) { o.badIdentityChecksum = true; }},
    {"nak-block", FaultArgument::Number, "NAK block N (counted from 1) once",
     [](V v, O o) { o.nakBlock = v.number; }},
    {"garbage-block", FaultArgument::Number, "answer block N once with 'X'",
     [](V v, O o) { o.garbageBlock = v.number; }},
    {"no-answer-block", FaultArgument::NumberTimes,
     "ignore block N, T times (default 1; \"forever\")",
     [](V v, O o) {
         o.noAnswerBlock = v.number;
         o.noAnswerTimes = v.times;
     }},
    {"bytes-before-nak", FaultArgument::Number, "N other bytes before the start signal",
     [](V v, O o) { o.bytesBeforeNak = v.number; }},
    {"endless-before-nak", FaultArgument::None, "stream other bytes, never the start signal",
     [](V, O o) { o.endlessBeforeNak = true; }},
    {"unplug-after", FaultArgument::Number, "hang up the line after acknowledging block N",
     [](V v, O o) { o.unplugAfterBlock = v.number; }},
    {"double-ack", FaultArgument::Number, "the line doubles block N's ACK",
     [](V v, O o) { o.doubleAckBlock = v.number; }},
    {"hold-ack", FaultArgument::NumberMs, "the line holds block N's ACK (and what follows) MS ms",
     [](V v, O o) {
         o.holdAckBlock = v.number;
         o.holdAckMs = v.times;
     }},
    {"no-prompt-after-upload", FaultArgument::None, "ignore wake-ups once an upload is done",
     [](V, O o) { o.noPromptAfterUpload = true; }},
    {"go-reply-delay", FaultArgument::Number, "busy N ms before answering the start command",
     [](V v, O o) { o.goReplyDelayMs = v.number; }},
};

const char* ArgumentForm(FaultArgument argument) {
    switch (argument) {
        case FaultArgument::None:
            return "";
        case FaultArgument::Number:
            return ":N";
        case FaultArgument::Command:
            return ":CMD";
        case FaultArgument::CommandPosition:
            return ":CMD:POS";
        case FaultArgument::NumberTimes:
            return ":N[:T]";
        case FaultArgument::NumberMs:
            return ":N:MS";
    }
    return "";
}

// Decimal, 0x hexadecimal or 0 octal, as the numeric options take them.
bool ToCount(const std::string& text, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < 0 || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// `rest` is what follows the name's colon; `bare` when there is no colon.
bool ReadArgument(FaultArgument argument, const std::string& rest, bool bare, FaultValues& v) {
    switch (argument) {
        case FaultArgument::None:
            return bare;
        case FaultArgument::Number:
            return ToCount(rest, v.number);
        case FaultArgument::Command:
            v.command = rest;
            return !rest.empty();
        case FaultArgument::CommandPosition: {
            // The last colon: a command may hold colons of its own.
            const size_t colon = rest.rfind(':');
            if (colon == std::string::npos || colon == 0) return false;
            v.command = rest.substr(0, colon);
            return ToCount(rest.substr(colon + 1), v.number);
        }
        case FaultArgument::NumberTimes: {
            const size_t colon = rest.find(':');
            if (!ToCount(rest.substr(0, colon), v.number)) return false;
            if (colon == std::string::npos) return true;
            const std::string times = rest.substr(colon + 1);
            if (times == "forever") {
                v.times = INT_MAX;
                return true;
            }
            return ToCount(times, v.times) && v.times > 0;
        }
        case FaultArgument::NumberMs: {
            const size_t colon = rest.find(':');
            return colon != std::string::npos && ToCount(rest.substr(0, colon), v.number) &&
                   ToCount(rest.substr(colon + 1), v.times);
        }
    }
    return false;
}

// An empty string once `text` is set in `options`, otherwise what is wrong.
std::string ApplyFault(const std::string& text, BootSimOptions& options) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    for (const Fault& fault : kFaults) {
        if (name != fault.name) continue;
        FaultValues values;
        if (!ReadArgument(fault.argument, rest, colon == std::string::npos, values))
            return "'" + text + "' is not of the form " + name + ArgumentForm(fault.argument);
        fault.apply(values, options);
        return "";
    }
    return "unknown fault '" + name + "' (--help lists them)";
}

}  // namespace

std::string FaultHelp() {
    std::string help = "\nFaults (--fault F, repeatable):\n";
    for (const Fault& fault : kFaults) {
        std::string form = std::string(fault.name) + ArgumentForm(fault.argument);
        form.resize(std::max<size_t>(form.size() + 2, 24), ' ');
        help += "  " + form + fault.help + "\n";
    }
    return help;
}

CLI::Option* Once(CLI::Option* option) {
    return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

void AddIdentityOptions(CLI::App& app, Identity& identity, const std::string& group) {
    const struct {
        const char* name;
        std::string* value;
        const char* description;
    } fields[] = {
        {"--customer", &identity.customerId, "Customer id"},
        {"--module", &identity.moduleNo, "Module number"},
        {"--hardware", &identity.hardware, "Hardware version"},
        {"--software", &identity.software, "Software version"},
    };
    for (const auto& field : fields) {
        Once(app.add_option(field.name, *field.value, field.description))
            ->type_name("S")
            ->capture_default_str()
            ->group(group);
    }
}

void AddFaultOption(CLI::App& app, BootSimOptions& options) {
    app.add_option_function<std::vector<std::string>>(
           "--fault",
           [&options](const std::vector<std::string>& faults) {
               for (const std::string& fault : faults) {
                   const std::string error = ApplyFault(fault, options);
                   if (!error.empty()) throw CLI::ValidationError("--fault", error);
               }
           },
           "Inject fault F, one of the faults below; repeatable")
        ->allow_extra_args(false)
        ->type_name("F");
}

void AddLineFaultOptions(CLI::App& app, LineFaults& faults) {
    const std::string group = "A bad line (seeded random faults, both ways)";
    Once(app.add_option("--line-seed", faults.seed, "Seed of the line's faults"))
        ->capture_default_str()
        ->type_name("N")
        ->group(group);
    Once(app.add_option("--line-faults-in", faults.toScanner,
                        "Chance of a fault per byte the scanner receives"))
        ->check(CLI::Range(0.0, 1.0).description(""))
        ->type_name("P")
        ->group(group);
    Once(app.add_option("--line-faults-out", faults.fromScanner,
                        "Chance of a fault per byte the scanner sends"))
        ->check(CLI::Range(0.0, 1.0).description(""))
        ->type_name("P")
        ->group(group);
    Once(app.add_option_function<std::string>(
             "--line-fault-kinds",
             [&faults](const std::string& list) {
                 if (!ParseLineFaultKinds(list, faults.kinds))
                     throw CLI::ValidationError("--line-fault-kinds", "'" + list +
                                                                          "' names no set of "
                                                                          "flip, drop, double, "
                                                                          "insert, pause, stall, "
                                                                          "unplug");
             },
             "Which faults, comma-separated (default all): flip, drop, double,\n"
             "insert, pause, stall, unplug"))
        ->type_name("LIST")
        ->group(group);
}

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
    app.set_version_flag("--version", app.get_name() + " " ORVANE_SIM_VERSION);
    // Named, since the emulator's messages often share a log with other programs'.
    app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
        return failed->get_name() + ": " + CLI::FailureMessage::simple(failed, e);
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version on standard output, errors on standard error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    return -1;
}

}  // namespace sim
