#include "events/run_events.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Json = nlohmann::json;

// In the order of EventKind.
const char* const kKinds[static_cast<int>(EventKind::Count)] = {
    "phase", "image", "progress", "scanner", "hint", "trace", "message", "tally", "end", "summary"};

struct HintEntry {
    const char* name;
    const char* words;
};

// In the order of HintKind. Each {name} is a fact of the hint.
const HintEntry kHints[static_cast<int>(HintKind::Count)] = {
    {"upgrade-ended-as", "the upgrade itself ended: {message}"},
    {"not-started",
     "the scanner holds the new image but did not answer the start command: power it off and on"},
    {"not-connected",
     "check the cable and put the scanner into upgrade mode (its boot loader); then run again, or "
     "add --wait to wait for it"},
    {"mismatch-scanner",
     "scanner: module {module}, software {software}, customer {customer}, hardware {hardware}"},
    {"mismatch-image",
     "image:   module {module}, software {software}, customer {customer}, hardware {hardware}; "
     "only the override access word (--access WORD) lets the upgrade go on"},
    {"key-refused",
     "the scanner refused the erase after the image key: this usually means the image is for "
     "another scanner"},
    {"erase-not-confirmed", "the scanner did not confirm the flash erase; run the upgrade again"},
    {"image-short",
     "the image file came up short of its measured size while it was sent (cut or unreadable); "
     "the scanner stays in upgrade mode: run the upgrade again"},
    {"image-changed",
     "the image file changed while it was sent; leave it alone during an upgrade and run the "
     "upgrade again"},
    {"surplus-answer",
     "an answer came that the scanner cannot have given for the block it followed (noise, a "
     "doubled byte or an answer held back on the line), so the upload was stopped rather than "
     "trusted; check the cable and run the upgrade again"},
    {"block-refused",
     "the scanner refused a block (damaged on the line?); it stays in upgrade mode: check the "
     "cable and run the upgrade again"},
    {"line-lost",
     "the line went away during the transfer (cable or adapter unplugged?); reconnect and run the "
     "upgrade again: the scanner stays in upgrade mode"},
    {"transfer-broke-off",
     "the transfer broke off; the scanner stays in upgrade mode: run the upgrade again"},
    {"image-unreadable", "the image must be a regular file that can be read, at most 2 GB"},
    {"image-empty",
     "the image holds nothing for the scanner (no bytes after its 1024-byte header)"},
    {"echo-lost",
     "the scanner stopped echoing; check the cable, put the scanner back into upgrade mode and "
     "run the upgrade again"},
    {"reply-not-understood",
     "the scanner's answer was not understood; check the cable and run the upgrade again"},
    {"parameter-erase-not-confirmed",
     "the scanner did not confirm the parameter-area erase; run the upgrade again"},
    {"file-type", "the image must be a firmware image (.bin) or a font file (.fon)"},
    {"port-refused", "{reason}"},
    {"answers-held-back",
     "each block's answer came {delay_ms} ms later than the wire needs: the adapter holds replies "
     "back; {fix}"},
    {"latency-timer-long",
     "the adapter's latency timer is {latency_ms} ms, about as long as the scanner's echo may take "
     "(51 ms); {fix}"},
};

const char* const kTraceKinds[] = {"note", "rx"};
const char* const kLevels[] = {"info", "warning"};

template <class Enum, size_t N>
bool FromName(const char* const (&names)[N], const std::string& name, Enum& value) {
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            value = static_cast<Enum>(i);
            return true;
        }
    }
    return false;
}

bool HintFromName(const std::string& name, HintKind& kind) {
    for (int i = 0; i < static_cast<int>(HintKind::Count); ++i) {
        if (name == kHints[i].name) {
            kind = static_cast<HintKind>(i);
            return true;
        }
    }
    return false;
}

// A number that JSON can carry: no infinities, no NaN.
double Finite(double value) {
    return std::isfinite(value) ? value : 0;
}

Json ProgressJson(const ProgressFigures& p) {
    return {{"blocks", p.blocksAcked}, {"blocks_total", p.blocksToSend},
            {"sent", p.sent},          {"total", p.total},
            {"percent", p.percent},    {"rate", Finite(p.rate)},
            {"left", Finite(p.left)},  {"text", p.text}};
}

void PutBody(const RunEvent& e, Json& j) {
    switch (e.kind) {
        case EventKind::Phase:
            j["phase"] = RunPhaseName(e.phase);
            break;
        case EventKind::Image:
            j["path"] = e.path;
            j["size"] = e.size >= 0 ? Json(e.size) : Json(nullptr);
            j["header"] = e.hasIdentity ? IdentityJson(e.identity) : Json(nullptr);
            break;
        case EventKind::Progress:
            j["phase"] = RunPhaseName(e.phase);
            j.update(ProgressJson(e.progress));
            break;
        case EventKind::Scanner:
            j["identity"] = IdentityJson(e.identity);
            break;
        case EventKind::Hint:
            j["hint"] = HintName(e.hint);
            j["facts"] = e.facts.is_object() ? e.facts : Json::object();
            j["text"] = e.text;
            break;
        case EventKind::Trace:
            j["trace"] = kTraceKinds[static_cast<int>(e.trace)];
            j["text"] = e.text;
            if (e.trace == TraceKind::Note) j["t"] = Finite(e.seconds);
            break;
        case EventKind::Message:
            j["level"] = kLevels[static_cast<int>(e.level)];
            j["text"] = e.text;
            break;
        case EventKind::Tally:
            j["done"] = e.done;
            j["failed"] = e.failed;
            j["current"] = e.current;
            break;
        case EventKind::End:
            j["outcome"] = OutcomeName(e.outcome);
            j["message"] = e.message;
            j["exit"] = e.exitStatus;
            j["seconds"] = Finite(e.seconds);
            j["record"] = e.record.is_object() ? e.record : Json(nullptr);
            break;
        default:  // Summary
            j["done"] = e.done;
            j["failed"] = e.failed;
            j["current"] = e.current;
            j["exit"] = e.exitStatus;
            break;
    }
}

// Typed reads that fail instead of throwing.
struct Reader {
    const Json& j;
    std::string& why;

    bool Fail(const std::string& field, const char* want) {
        why = "\"" + field + "\" is not " + want;
        return false;
    }
    bool Text(const char* field, std::string& out) {
        auto it = j.find(field);
        if (it == j.end() || !it->is_string()) return Fail(field, "a text");
        out = it->get<std::string>();
        return true;
    }
    template <class Int>
    bool Integer(const char* field, Int& out) {
        auto it = j.find(field);
        if (it == j.end() || !it->is_number_integer()) return Fail(field, "an integer");
        return JsonInteger(*it, out) || Fail(field, "an integer in range");
    }
    bool Number(const char* field, double& out) {
        auto it = j.find(field);
        if (it == j.end() || !it->is_number()) return Fail(field, "a number");
        out = it->get<double>();
        return true;
    }
    bool Identity(const Json& id, IdentityTexts& out) {
        if (!id.is_object()) return Fail("identity", "an object");
        Reader r{id, why};
        return r.Text("customer", out.customer) && r.Text("module", out.module) &&
               r.Text("hardware", out.hardware) && r.Text("software", out.software);
    }
    // An object of texts and numbers only; absent is none.
    bool Facts(Json& out) {
        auto it = j.find("facts");
        out = it == j.end() ? Json::object() : *it;
        if (!out.is_object()) return Fail("facts", "an object");
        for (const Json& value : out)
            if (!value.is_string() && !value.is_number()) return Fail("facts", "texts and numbers");
        return true;
    }
    bool Phase(RunPhase& out) {
        std::string name;
        return Text("phase", name) && (RunPhaseFromName(name, out) || Fail("phase", "a phase"));
    }
};

bool ReadProgress(Reader& r, ProgressFigures& p) {
    return r.Integer("blocks", p.blocksAcked) && r.Integer("blocks_total", p.blocksToSend) &&
           r.Integer("sent", p.sent) && r.Integer("total", p.total) &&
           r.Integer("percent", p.percent) && r.Number("rate", p.rate) &&
           r.Number("left", p.left) && r.Text("text", p.text);
}

bool ReadImage(Reader& r, RunEvent& e) {
    if (!r.Text("path", e.path)) return false;
    auto size = r.j.find("size");
    if (size != r.j.end() && !size->is_null() && !r.Integer("size", e.size)) return false;
    auto header = r.j.find("header");
    e.hasIdentity = header != r.j.end() && !header->is_null();
    return !e.hasIdentity || r.Identity(*header, e.identity);
}

bool ReadEnd(Reader& r, RunEvent& e) {
    std::string outcome;
    if (!r.Text("outcome", outcome)) return false;
    if (!OutcomeFromName(outcome.c_str(), e.outcome)) return r.Fail("outcome", "an outcome");
    if (!r.Text("message", e.message) || !r.Integer("exit", e.exitStatus) ||
        !r.Number("seconds", e.seconds))
        return false;
    auto record = r.j.find("record");
    e.record = record != r.j.end() && record->is_object() ? *record : Json(nullptr);
    return true;
}

bool ReadBody(Reader& r, RunEvent& e) {
    std::string name;
    switch (e.kind) {
        case EventKind::Phase:
            return r.Phase(e.phase);
        case EventKind::Image:
            return ReadImage(r, e);
        case EventKind::Progress:
            return r.Phase(e.phase) && ReadProgress(r, e.progress);
        case EventKind::Scanner:
            e.hasIdentity = true;
            return r.j.contains("identity") ? r.Identity(r.j.at("identity"), e.identity)
                                            : r.Fail("identity", "there");
        case EventKind::Hint:
            return r.Text("hint", name) &&
                   (HintFromName(name, e.hint) || r.Fail("hint", "a hint")) && r.Facts(e.facts) &&
                   r.Text("text", e.text);
        case EventKind::Trace:
            if (r.j.contains("t") && !r.Number("t", e.seconds)) return false;
            return r.Text("trace", name) &&
                   (FromName(kTraceKinds, name, e.trace) || r.Fail("trace", "a trace kind")) &&
                   r.Text("text", e.text);
        case EventKind::Message:
            return r.Text("level", name) &&
                   (FromName(kLevels, name, e.level) || r.Fail("level", "a level")) &&
                   r.Text("text", e.text);
        case EventKind::Tally:
            return r.Integer("done", e.done) && r.Integer("failed", e.failed) &&
                   r.Integer("current", e.current);
        case EventKind::End:
            return ReadEnd(r, e);
        default:  // Summary
            return r.Integer("done", e.done) && r.Integer("failed", e.failed) &&
                   r.Integer("current", e.current) && r.Integer("exit", e.exitStatus);
    }
}

}  // namespace

Json IdentityJson(const IdentityTexts& id) {
    return {{"customer", id.customer},
            {"module", id.module},
            {"hardware", id.hardware},
            {"software", id.software}};
}

namespace {

// A fact as words say it: a text as it is, a number as JSON writes it.
std::string FactText(const Json& facts, const std::string& name) {
    auto it = facts.is_object() ? facts.find(name) : facts.end();
    if (it == facts.end()) return std::string();
    if (it->is_string()) return it->get<std::string>();
    return it->dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

const char* HintName(HintKind kind) {
    int i = static_cast<int>(kind);
    return kHints[i >= 0 && i < static_cast<int>(HintKind::Count) ? i : 0].name;
}

std::string HintText(HintKind kind, const Json& facts) {
    int i = static_cast<int>(kind);
    std::string words = kHints[i >= 0 && i < static_cast<int>(HintKind::Count) ? i : 0].words;
    std::string text;
    for (size_t at = 0; at < words.size();) {
        size_t open = words.find('{', at), close = words.find('}', open);
        if (open == std::string::npos || close == std::string::npos) {
            text += words.substr(at);
            break;
        }
        text +=
            words.substr(at, open - at) + FactText(facts, words.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return text;
}

RunEvent PhaseEvent(RunPhase phase) {
    RunEvent e;
    e.kind = EventKind::Phase;
    e.phase = phase;
    return e;
}

RunEvent HintEvent(HintKind kind, const Json& facts) {
    RunEvent e;
    e.kind = EventKind::Hint;
    e.hint = kind;
    e.facts = facts.is_object() ? facts : Json::object();
    e.text = HintText(kind, e.facts);
    return e;
}

RunEvent MessageEvent(MessageLevel level, const std::string& text) {
    RunEvent e;
    e.kind = EventKind::Message;
    e.level = level;
    e.text = text;
    return e;
}

RunEvent TraceEvent(TraceKind kind, const std::string& text) {
    RunEvent e;
    e.kind = EventKind::Trace;
    e.trace = kind;
    e.text = text;
    return e;
}

std::string EventLine(const RunEvent& e) {
    if (e.kind == EventKind::Hint) return "hint: " + e.text;
    if (e.kind == EventKind::Message && e.level == MessageLevel::Warning)
        return "warning: " + e.text;
    if (e.kind == EventKind::Trace && e.trace == TraceKind::Received) return "rx " + e.text;
    return e.text;
}

std::string EncodeEvent(const RunEvent& e) {
    Json j = {{"v", EventsVersion}, {"ev", kKinds[static_cast<int>(e.kind)]}};
    if (!e.port.empty()) j["port"] = e.port;
    PutBody(e, j);
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool DecodeEvent(const std::string& line, RunEvent& e, std::string& why) {
    Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) {
        why = "not a JSON object";
        return false;
    }
    e = RunEvent();
    Reader r{j, why};
    int version = 0;
    std::string kind;
    if (!r.Integer("v", version) || !r.Text("ev", kind)) return false;
    if (version != EventsVersion) return r.Fail("v", "a version this program reads");
    if (!FromName(kKinds, kind, e.kind)) return r.Fail("ev", "an event");
    auto port = j.find("port");
    if (port != j.end() && !r.Text("port", e.port)) return false;
    return ReadBody(r, e);
}

char EncodeRequest(ChildRequest request) {
    static const char kRequests[] = {'f', 's', 'r'};
    return kRequests[static_cast<int>(request)];
}

bool DecodeRequest(char byte, ChildRequest& request) {
    switch (byte) {
        case 'f':
            request = ChildRequest::Finish;
            return true;
        case 's':
            request = ChildRequest::StopNow;
            return true;
        case 'r':
            request = ChildRequest::Retry;
            return true;
        default:
            return false;
    }
}
