// What a run tells its views and scripts, typed: its phases, progress, the
// image's and the scanner's identity, hints, trace lines, messages, counts
// and how it ended. Encoded to and decoded from JSON Lines here only
// (docs/events.md); every view reads these and never parses text written
// for people.
#pragma once
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "upgrade/outcome.h"
#include "upgrade/run_phase.h"

enum { EventsVersion = 1 };

// How a command ends; an End event carries its upgrade's.
enum ExitCode {
    ExitSuccess = 0,
    ExitUpgradeFailed = 1,
    ExitUsage = 2,
    ExitPortNotOpened = 3,
    ExitInvalidType = 4,
    ExitNotRecorded = 5,  // the upgrades succeeded, but a report or recording asked for was lost
    ExitInterruptedBase = 128  // plus the signal's number
};

enum class EventKind {
    Phase,     // the run entered a phase
    Image,     // a new upgrade begins with this image
    Progress,  // blocks acknowledged
    Scanner,   // the scanner said who it is
    Hint,      // the likely cause of a failure and the next step
    Trace,     // a line of the dialogue with the scanner
    Message,   // a line for people that decides nothing
    Tally,     // production mode's running count
    End,       // one upgrade ended: its outcome and its record
    Summary,   // the whole command ended (several ports, --loop)
    Count
};

enum class HintKind {
    UpgradeEndedAs,  // the start step's message replaced the upgrade's own
    NotStarted,
    NotConnected,
    MismatchScanner,
    MismatchImage,
    KeyRefused,
    EraseNotConfirmed,
    ImageShort,
    ImageChanged,
    SurplusAnswer,
    BlockRefused,
    LineLost,
    TransferBrokeOff,
    ImageUnreadable,
    ImageEmpty,
    EchoLost,
    ReplyNotUnderstood,
    ParameterEraseNotConfirmed,
    FileType,
    PortRefused,
    AnswersHeldBack,
    LatencyTimerLong,
    Count
};

enum class TraceKind { Note, Received };
enum class MessageLevel { Info, Warning };

struct IdentityTexts {
    std::string customer, module, hardware, software;
};

struct ProgressFigures {
    int32_t blocksAcked = 0, blocksToSend = 0;
    int64_t sent = 0, total = 0;  // bytes for the scanner
    int percent = 0;
    double rate = 0;   // bytes per second, 0 unknown
    double left = -1;  // seconds, -1 unknown
    std::string text;  // the status line's text ("3K byte(s) sent")
};

struct RunEvent {
    EventKind kind = EventKind::Message;
    std::string port;  // which port, where one command runs several
    RunPhase phase = RunPhase::Handshake;
    ProgressFigures progress;
    // Image: its path and size; Image and Scanner: the identity, when known.
    std::string path;
    int64_t size = -1;
    bool hasIdentity = false;
    IdentityTexts identity;
    HintKind hint = HintKind::NotConnected;
    TraceKind trace = TraceKind::Note;
    MessageLevel level = MessageLevel::Info;
    std::string text;      // Hint, Trace, Message
    nlohmann::json facts;  // Hint: what its words name, texts and numbers by name
    // Tally and Summary: scanners upgraded, failed, and found current already
    int done = 0, failed = 0, current = 0;
    // End and Summary
    UpgradeOutcome outcome = OutcomeNothingError;
    std::string message;
    int exitStatus = 0;
    double seconds = 0;
    nlohmann::json record;  // End: the run's record, as the report holds it
};

// A hint's stable name, and its words for the terminal with its facts in
// place of their {names}; pages take their words from their catalogs.
const char* HintName(HintKind kind);
std::string HintText(HintKind kind, const nlohmann::json& facts);

// `value` as an Int (a signed type), when it is an integer in Int's range.
template <class Int>
bool JsonInteger(const nlohmann::json& value, Int& out) {
    if (!value.is_number_integer()) return false;
    if (value.is_number_unsigned()) {
        uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<Int>::max())) return false;
        out = static_cast<Int>(u);
        return true;
    }
    int64_t v = value.get<int64_t>();
    if (v < static_cast<int64_t>(std::numeric_limits<Int>::min()) ||
        v > static_cast<int64_t>(std::numeric_limits<Int>::max()))
        return false;
    out = static_cast<Int>(v);
    return true;
}

// An identity's four texts as a JSON object.
nlohmann::json IdentityJson(const IdentityTexts& identity);

// Events built for the common cases.
RunEvent PhaseEvent(RunPhase phase);
// `facts`: an object of texts and numbers, such as {"port": "/dev/ttyUSB0"}.
RunEvent HintEvent(HintKind kind, const nlohmann::json& facts = nlohmann::json::object());
RunEvent MessageEvent(MessageLevel level, const std::string& text);
RunEvent TraceEvent(TraceKind kind, const std::string& text);

// A hint or message as the terminal shows it: "hint: ...", "warning: ...".
std::string EventLine(const RunEvent& event);

// One line of JSON, no line end; identity texts that are not UTF-8 are replaced.
std::string EncodeEvent(const RunEvent& event);
// False, with the reason, for anything that is not an event of this version.
bool DecodeEvent(const std::string& line, RunEvent& event, std::string& why);

// What a parent asks of a child that upgrades one port of several.
enum class ChildRequest {
    Finish,   // finish the upgrade in progress, then stop
    StopNow,  // stop at once, whatever the policy
    Retry,    // take the scanner on the port again now, without waiting for it to leave
};
char EncodeRequest(ChildRequest request);
bool DecodeRequest(char byte, ChildRequest& request);
