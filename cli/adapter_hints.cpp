#include "cli/adapter_hints.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "cli/run_output.h"
#include "ports/port_details.h"
#include "serial/serial_report.h"
#include "shell/port_discovery.h"
#include "upgrade/answer_delay.h"
#include "upgrade/image.h"
#include "upgrade/upgrade.h"

namespace {

// Several ms of delay per block is an adapter holding replies back; a few
// blocks tell nothing.
const double SlowAnswerMs = 4.0;
enum { MinTimedAnswers = 8, SlowEchoLatencyMs = 40 };

std::set<std::string> notesShown;

bool DetailsOfEntry(const std::string& entry, PortDetails& details) {
    char device[ImagePathSize];
    return ResolvePortEntry(entry.c_str(), device, sizeof device) &&
           DetailsOfDevice(device, details);
}

// The driver's low-latency flag was in force during the run, so the timer
// read after the close did not hold the replies back.
bool LowLatencyInForce() {
    SerialLowLatency state = SerialLastPortReport().lowLatency;
    return state == LowLatencySet || state == LowLatencyAlreadyOn;
}

}  // namespace

// The port's details are only looked up when a hint may need them.
void HintAdapterTiming(const std::string& entry) {
    double delay = UpgradeAnswerDelayMs();
    bool slow = delay >= SlowAnswerMs && UpgradeRun.answersTimed >= MinTimedAnswers;
    bool echoHeldBack = UpgradeRun.upgradeOutcome == OutcomeWriteFail && !LowLatencyInForce();
    if (!slow && !echoHeldBack) return;
    PortDetails d;
    bool known = DetailsOfEntry(entry, d);
    std::string fix = known ? LatencyTimerFix(d) : "lower the adapter's latency timer";
    if (slow) {
        EmitEvent(HintEvent(HintKind::AnswersHeldBack,
                            {{"delay_ms", std::round(delay * 10) / 10}, {"fix", fix}}));
    }
    if (echoHeldBack && known && d.latencyMs > SlowEchoLatencyMs)
        EmitEvent(
            HintEvent(HintKind::LatencyTimerLong, {{"latency_ms", d.latencyMs}, {"fix", fix}}));
}

std::string AnswerDelaySummary() {
    double delay = UpgradeAnswerDelayMs();
    if (delay < 0) return std::string();
    char text[48];
    std::snprintf(text, sizeof text, ", answer delay %.1f ms", delay);
    return text;
}

void NoteAdapter(const char* text) {
    if (notesShown.insert(text).second) EmitNote(text);
}
