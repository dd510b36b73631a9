#include "events/upgrade_record.h"

#include <cmath>
#include <cstdio>
#include <random>

namespace {

using Json = nlohmann::json;

// The CSV's columns: header_* and scanner_* are the identities' texts.
const char* const kCsvColumns[] = {"time",
                                   "slot",
                                   "port",
                                   "device",
                                   "operator",
                                   "lot",
                                   "unit_serial",
                                   "image",
                                   "size",
                                   "sha256",
                                   "header_customer",
                                   "header_module",
                                   "header_hardware",
                                   "header_software",
                                   "scanner_customer",
                                   "scanner_module",
                                   "scanner_hardware",
                                   "scanner_software",
                                   "version_before",
                                   "version_after",
                                   "access",
                                   "result",
                                   "outcome",
                                   "message",
                                   "hint",
                                   "upgrade_outcome",
                                   "upgrade_message",
                                   "started",
                                   "exit",
                                   "seconds",
                                   "blocks_sent",
                                   "blocks_resent",
                                   "answer_delay_ms",
                                   "started_at",
                                   "ended_at",
                                   "record_id",
                                   "station",
                                   "seq"};

Json IdentityOrNull(bool known, const IdentityTexts& id) {
    return known ? IdentityJson(id) : Json(nullptr);
}

// Reads what a record holds; a field it lacks keeps its default, one of
// the wrong type refuses the whole.
struct Reader {
    const Json& j;
    std::string& why;

    const Json* Find(const char* field) {
        auto it = j.find(field);
        return it == j.end() || it->is_null() ? nullptr : &*it;
    }
    bool Fail(const char* field, const char* want) {
        why = std::string("\"") + field + "\" is not " + want;
        return false;
    }
    bool Text(const char* field, std::string& out) {
        const Json* v = Find(field);
        if (!v) return true;
        if (!v->is_string()) return Fail(field, "a text");
        out = v->get<std::string>();
        return true;
    }
    template <class Number>
    bool Integer(const char* field, Number& out) {
        const Json* v = Find(field);
        if (!v) return true;
        if (!v->is_number_integer()) return Fail(field, "an integer");
        return JsonInteger(*v, out) || Fail(field, "an integer in range");
    }
    bool Real(const char* field, double& out) {
        const Json* v = Find(field);
        if (!v) return true;
        if (!v->is_number() || !std::isfinite(v->get<double>())) return Fail(field, "a number");
        out = v->get<double>();
        return true;
    }
    bool Flag(const char* field, bool& out) {
        const Json* v = Find(field);
        if (!v) return true;
        if (!v->is_boolean()) return Fail(field, "true or false");
        out = v->get<bool>();
        return true;
    }
    bool Outcome(const char* field, UpgradeOutcome& out) {
        std::string name;
        if (!Text(field, name)) return false;
        return name.empty() || OutcomeFromName(name.c_str(), out) || Fail(field, "an outcome");
    }
    bool Identity(const char* field, bool& known, IdentityTexts& out) {
        const Json* v = Find(field);
        known = v != nullptr;
        if (!v) return true;
        if (!v->is_object()) return Fail(field, "an identity");
        Reader r{*v, why};
        return r.Text("customer", out.customer) && r.Text("module", out.module) &&
               r.Text("hardware", out.hardware) && r.Text("software", out.software);
    }
};

bool ReadWhere(Reader& r, UpgradeRecord& rec) {
    return r.Text("record_id", rec.recordId) && r.Text("station", rec.station) &&
           r.Integer("seq", rec.seq) && r.Text("time", rec.time) &&
           r.Text("started_at", rec.startedAt) && r.Text("ended_at", rec.endedAt) &&
           r.Text("slot", rec.slot) && r.Text("port", rec.port) && r.Text("device", rec.device) &&
           r.Text("operator", rec.operatorName) && r.Text("lot", rec.lot) &&
           r.Text("unit_serial", rec.unitSerial) && r.Text("image", rec.image) &&
           r.Integer("size", rec.imageSize) && r.Text("sha256", rec.imageSha256) &&
           r.Identity("header", rec.hasHeader, rec.header) &&
           r.Identity("scanner", rec.hasScanner, rec.scanner) && r.Text("access", rec.access);
}

bool ReadHowItEnded(Reader& r, UpgradeRecord& rec) {
    if (!r.Find("outcome")) return r.Fail("outcome", "there");
    return r.Outcome("outcome", rec.outcome) && r.Text("message", rec.message) &&
           r.Outcome("upgrade_outcome", rec.upgradeOutcome) &&
           r.Text("upgrade_message", rec.upgradeMessage) && r.Flag("started", rec.started) &&
           r.Text("hint", rec.hint) && r.Integer("exit", rec.exitStatus) &&
           r.Real("seconds", rec.seconds) && r.Integer("blocks_sent", rec.blocksSent) &&
           r.Integer("blocks_resent", rec.blocksResent) &&
           r.Real("answer_delay_ms", rec.answerDelayMs);
}

std::string CsvCell(const Json& value) {
    if (value.is_null()) return "";
    std::string text = value.is_string()
                           ? value.get<std::string>()
                           : value.dump(-1, ' ', false, Json::error_handler_t::replace);
    // A spreadsheet takes these for a formula: a leading quote keeps them text.
    if (value.is_string() && !text.empty() &&
        std::string("=+-@\t\r").find(text[0]) != std::string::npos)
        text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

Json Field(const Json& record, const std::string& column) {
    for (const char* identity : {"header", "scanner"}) {
        std::string prefix = std::string(identity) + "_";
        if (column.compare(0, prefix.size(), prefix) != 0) continue;
        const Json& id = record[identity];
        return id.is_object() ? id.value(column.substr(prefix.size()), Json()) : Json();
    }
    return record.value(column, Json());
}

SqlValue Sql(const std::string& text, bool nullWhenEmpty = false) {
    return {nullWhenEmpty && text.empty(), text};
}

}  // namespace

std::string NewRecordId() {
    std::random_device source;
    unsigned char b[16];
    for (int i = 0; i < 16; i += 4) {
        uint32_t word = source();
        for (int k = 0; k < 4; ++k) b[i + k] = static_cast<unsigned char>(word >> (8 * k));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the RFC's variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

namespace {

// The code point at `at`, moving past it; false for bytes that are not UTF-8.
bool TakeCodePoint(const std::string& text, size_t& at, uint32_t& code) {
    const unsigned char lead = text[at];
    size_t extra = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
        code = lead;
        ++at;
        return true;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, code = lead & 0x07, least = 0x10000;
    } else {
        return false;
    }
    if (text.size() - at <= extra) return false;
    for (size_t i = 1; i <= extra; ++i) {
        const unsigned char next = text[at + i];
        if ((next & 0xC0) != 0x80) return false;
        code = (code << 6) | (next & 0x3F);
    }
    at += extra + 1;
    return code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

}  // namespace

bool StationNameIsFit(const std::string& name) {
    size_t count = 0;
    for (size_t at = 0; at < name.size(); ++count) {
        uint32_t code = 0;
        if (count == 64 || !TakeCodePoint(name, at, code)) return false;
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
    }
    return count > 0;
}

// Days since 1970-01-01 of a civil date: the offset must not depend on
// mktime, which reads the local zone again.
static int64_t DaysOf(const std::tm& t) {
    int64_t y = t.tm_year + 1900 - (t.tm_mon < 2), m = t.tm_mon + 1;
    int64_t era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.tm_mday - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

std::string IsoTimeWithOffset(const std::tm& local, const std::tm& utc) {
    auto secondsOf = [](const std::tm& t) {
        return DaysOf(t) * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
    };
    int64_t offset = (secondsOf(local) - secondsOf(utc)) / 60;
    char sign = offset < 0 ? '-' : '+';
    int64_t minutes = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, sign, static_cast<int>(minutes / 60),
                  static_cast<int>(minutes % 60));
    return text;
}

UpgradeResult RecordResult(const UpgradeRecord& r) {
    return ResultOfOutcome(r.outcome);
}

std::string VersionBefore(const UpgradeRecord& r) {
    return r.hasScanner ? r.scanner.software : std::string();
}

std::string VersionAfter(const UpgradeRecord& r) {
    UpgradeResult result = RecordResult(r);
    if (result == ResultPassed) return r.hasHeader ? r.header.software : std::string();
    return result == ResultAlreadyCurrent ? VersionBefore(r) : std::string();
}

Json RecordJson(const UpgradeRecord& r) {
    return {{"record_id", r.recordId},
            {"station", r.station},
            {"seq", r.seq},
            {"time", r.time},
            {"started_at", r.startedAt},
            {"ended_at", r.endedAt},
            {"slot", r.slot},
            {"port", r.port},
            {"device", r.device},
            {"operator", r.operatorName},
            {"lot", r.lot},
            {"unit_serial", r.unitSerial},
            {"image", r.image},
            {"size", r.imageSize >= 0 ? Json(r.imageSize) : Json(nullptr)},
            {"sha256", r.imageSha256},
            {"header", IdentityOrNull(r.hasHeader, r.header)},
            {"scanner", IdentityOrNull(r.hasScanner, r.scanner)},
            {"version_before", VersionBefore(r)},
            {"version_after", VersionAfter(r)},
            {"access", r.access},
            {"result", ResultName(RecordResult(r))},
            {"outcome", OutcomeName(r.outcome)},
            {"message", r.message},
            {"hint", r.hint},
            {"upgrade_outcome", OutcomeName(r.upgradeOutcome)},
            {"upgrade_message", r.upgradeMessage},
            {"started", r.started},
            {"exit", r.exitStatus},
            {"seconds", r.seconds},
            {"blocks_sent", r.blocksSent},
            {"blocks_resent", r.blocksResent},
            {"answer_delay_ms",
             r.answerDelayMs >= 0 ? Json(std::round(r.answerDelayMs * 10) / 10) : Json(nullptr)}};
}

bool RecordFromJson(const Json& j, UpgradeRecord& record, std::string& why) {
    if (!j.is_object()) {
        why = "not a JSON object";
        return false;
    }
    UpgradeRecord r;
    Reader reader{j, why};
    if (!ReadWhere(reader, r) || !ReadHowItEnded(reader, r)) return false;
    record = r;
    return true;
}

std::string RecordLine(const UpgradeRecord& r) {
    return RecordJson(r).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string RecordsAsJsonLines(const std::vector<UpgradeRecord>& records) {
    std::string text;
    for (const UpgradeRecord& r : records) text += RecordLine(r) + "\n";
    return text;
}

std::string RecordsAsCsv(const std::vector<UpgradeRecord>& records) {
    std::string text;
    for (const char* column : kCsvColumns) text += (text.empty() ? "" : ",") + std::string(column);
    text += "\r\n";
    for (const UpgradeRecord& r : records) {
        Json j = RecordJson(r);
        std::string row;
        for (const char* column : kCsvColumns)
            row += (column == kCsvColumns[0] ? "" : ",") + CsvCell(Field(j, column));
        text += row + "\r\n";
    }
    return text;
}

const std::vector<std::string>& RecordSqlColumns() {
    static const std::vector<std::string> columns = {
        "record_id",     "station",    "seq",          "slot",
        "port",          "operator",   "lot",          "unit_serial",
        "image_name",    "image_size", "image_sha256", "version_before",
        "version_after", "result",     "message",      "hint",
        "started_at",    "ended_at",   "duration_s",   "body"};
    return columns;
}

std::vector<SqlValue> RecordSqlValues(const UpgradeRecord& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    return {Sql(r.recordId),
            Sql(r.station),
            Sql(std::to_string(r.seq)),
            Sql(r.slot),
            Sql(r.port),
            Sql(r.operatorName),
            Sql(r.lot),
            Sql(r.unitSerial, true),
            Sql(r.image),
            {r.imageSize < 0, std::to_string(r.imageSize)},
            Sql(r.imageSha256),
            Sql(VersionBefore(r), true),
            Sql(VersionAfter(r), true),
            Sql(ResultName(RecordResult(r))),
            Sql(r.message),
            Sql(r.hint, true),
            Sql(r.startedAt),
            Sql(r.endedAt),
            Sql(seconds),
            Sql(RecordLine(r))};
}
