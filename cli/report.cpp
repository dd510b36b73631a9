#include "cli/report.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/adapter_hints.h"
#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"
#include "upgrade/upgrade.h"

namespace {
using Json = nlohmann::json;
}  // namespace

nlohmann::json IdentityJson(const char* customer, const char* module, const char* hardware,
                            const char* software) {
    return {
        {"customer", customer}, {"module", module}, {"hardware", hardware}, {"software", software}};
}

const char* AccessName() {
    switch (AccessMode) {
        case Reseller:
            return "reseller";
        case Override:
            return "override";
        default:
            return "end-user";
    }
}

std::string UtcTimestamp() {
    std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

nlohmann::json RunResultJson(UpgradeOutcome outcome, const std::string& message) {
    return {{"result", ResultName(ResultOfOutcome(outcome))},
            {"outcome", OutcomeName(outcome)},
            {"message", message},
            {"upgrade_outcome", OutcomeName(UpgradeRun.upgradeOutcome)},
            {"upgrade_message", UpgradeRun.upgradeMessage},
            {"started", UpgradeRun.started},
            {"blocks_sent", UpgradeRun.blocksSent},
            {"blocks_resent", UpgradeRun.blocksResent}};
}

nlohmann::json ReportRecord(const ReportEntry& e) {
    Json line = {{"time", e.time},
                 {"port", e.port},
                 {"device", e.device},
                 {"image", e.image},
                 {"size", UpgradeRun.imageSize},
                 {"header", nullptr},
                 {"scanner", nullptr},
                 {"access", AccessName()},
                 {"exit", e.exitStatus},
                 {"seconds", e.seconds},
                 {"answer_delay_ms", AnswerDelayJson()}};
    line.update(RunResultJson(e.outcome, e.message));
    if (UpgradeRun.headerPresent)
        line["header"] =
            IdentityJson(ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software);
    if (UpgradeRun.scannerIdentified)
        line["scanner"] = IdentityJson(ScannerId.customerId, ScannerId.moduleNo, ScannerId.hardware,
                                       ScannerId.software);
    return line;
}

// Identity texts are bytes from the scanner: what is not UTF-8 is replaced, never refused.
std::string ReportLine(const ReportEntry& e) {
    return ReportRecord(e).dump(-1, ' ', false, Json::error_handler_t::replace);
}
