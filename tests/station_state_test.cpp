// What the station shows and exports: the digest on the image card, each
// tile's word from the model, records as CSV a spreadsheet opens safely, and
// what it tells the line.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "station/sha256.h"
#include "station/station_state.h"

namespace {

std::string Digest(const std::string& text, size_t piece) {
    Sha256 s;
    Sha256Start(s);
    for (size_t at = 0; at < text.size(); at += piece)
        Sha256Add(s, text.data() + at, std::min(piece, text.size() - at));
    return Sha256Finish(s);
}

RunEvent End(UpgradeOutcome outcome) {
    RunEvent e;
    e.kind = EventKind::End;
    e.outcome = outcome;
    e.message = OutcomeText(outcome);
    return e;
}

std::string StateOf(const FleetModel& m, size_t slot) {
    StationRun run;
    return StationState(m, run, false)["slots"][slot]["state"];
}

}  // namespace

TEST(StationDigest, KnownDigestsWhateverThePieces) {
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Digest("", 1));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Digest("abc", 1));
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56
    for (size_t piece : {1, 7, 55, 56, 64})
        EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
                  Digest(two, piece));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              Digest(std::string(1000000, 'a'), 4096));
}

TEST(StationState, ATileSaysWhatBecameOfItsScannerUntilTheNextOneComes) {
    FleetModel m;
    for (const char* port : {"a", "b", "c", "d"}) AddSlot(m, port, "");
    EXPECT_EQ("starting", StateOf(m, 0));
    ApplyEvent(m, 0, PhaseEvent(RunPhase::Upload));
    EXPECT_EQ("upload", StateOf(m, 0));
    ApplyEvent(m, 0, End(OutcomeSuccess));
    ApplyEvent(m, 1, End(OutcomeAlreadyCurrent));
    ApplyEvent(m, 2, End(OutcomeNotFinished));
    EXPECT_EQ("passed", StateOf(m, 0));
    EXPECT_EQ("already_current", StateOf(m, 1));
    EXPECT_EQ("failed", StateOf(m, 2));
    ApplyEvent(m, 2, PhaseEvent(RunPhase::Leaving));
    EXPECT_EQ("failed", StateOf(m, 2));
    ApplyEvent(m, 2, PhaseEvent(RunPhase::Waiting));
    EXPECT_EQ("waiting", StateOf(m, 2));
    EndSlot(m, 3, ExitUpgradeFailed);
    EXPECT_EQ("stopped", StateOf(m, 3));
}

// The page gets names from the tables and facts as data; its words are its own.
TEST(StationState, NamesAndFactsOnlyNoSentences) {
    FleetModel m;
    AddSlot(m, "a", "A1");
    ApplyEvent(m, 0, PhaseEvent(RunPhase::KeyCode));
    EXPECT_EQ("key-code", StateOf(m, 0));
    ApplyEvent(m, 0, HintEvent(HintKind::UpgradeEndedAs, {{"message", "upgrade not finish!!!"}}));
    ApplyEvent(m, 0, End(OutcomeWriteFail));
    StationRun run;
    nlohmann::json state = StationState(m, run, false);
    const nlohmann::json& slot = state["slots"][0];
    EXPECT_EQ(2, state["version"]);
    EXPECT_EQ("failed", slot["result"]);
    EXPECT_EQ(nlohmann::json::parse(R"([{"hint":"upgrade-ended-as",
                                         "facts":{"message":"upgrade not finish!!!"}}])"),
              slot["hints"]);
    EXPECT_EQ(nlohmann::json::parse(R"({"passed":0,"failed":1,"already_current":0})"),
              slot["counts"]);
    EXPECT_EQ(1, state["counts"]["failed"]);
    EXPECT_FALSE(slot.contains("text"));
}

TEST(StationSettings, OnlyShortPrintableText) {
    EXPECT_TRUE(StationTextIsFit("Ann Lee"));
    EXPECT_TRUE(StationTextIsFit(std::string(64, 'x')));
    EXPECT_FALSE(StationTextIsFit(std::string(65, 'x')));
    EXPECT_FALSE(StationTextIsFit("a\nb"));
    EXPECT_FALSE(StationTextIsFit("\x1b[2J"));
}

// A serial scanned for a slot goes with the next upgrade to end there; a
// Retry takes the same scanner again, so it keeps that serial.
TEST(StationSerial, TheNextUpgradeToEndTakesItAndARetryKeepsIt) {
    StationRun run;
    UpgradeRecord ended;
    run.serials[1] = "SN-0001";
    EXPECT_EQ("SN-0001", StationRecord(ended, 1, "A2", run).unitSerial);
    EXPECT_EQ("", StationRecord(ended, 1, "A2", run).unitSerial);  // the next scanner's is unknown
    run.serials[1] = "SN-0002";
    EXPECT_EQ("", StationRecord(ended, 0, "A1", run).unitSerial);  // another slot's is not taken
    EXPECT_EQ("SN-0002", StationRecord(ended, 1, "A2", run).unitSerial);
    KeepSerialForRetry(run, 1);
    EXPECT_EQ("SN-0002", StationRecord(ended, 1, "A2", run).unitSerial);
    run.serials[1] = "SN-0003";  // scanned before the Retry: that one counts
    KeepSerialForRetry(run, 1);
    EXPECT_EQ("SN-0003", StationRecord(ended, 1, "A2", run).unitSerial);
    FleetModel m;
    AddSlot(m, "a", "A1");
    run.serials[0] = "SN-9";
    nlohmann::json slot = StationState(m, run, false)["slots"][0];
    EXPECT_EQ("SN-9", slot["serial"]);
}

// The beat the line gets (docs/line.md): every field it names, each slot in
// the page's names, and the line as the station's sender sees it.
TEST(StationBeat, TheRunItsSlotsAndTheLineInTheLinesNames) {
    FleetModel m;
    AddSlot(m, "/dev/ttyUSB0", "A1");
    AddSlot(m, "/dev/ttyUSB1", "A2");
    ApplyEvent(m, 0, PhaseEvent(RunPhase::FlashErase));
    ApplyEvent(m, 1, HintEvent(HintKind::UpgradeEndedAs, {{"message", "upgrade not finish!!!"}}));
    ApplyEvent(m, 1, End(OutcomeWriteFail));
    StationRun run;
    run.image = {"app.bin", "/srv/app.bin", 100, "ab", true, "5800", "2.1.0"};
    run.operatorName = "Ann";
    run.lot = "L-1";
    run.stopping = true;
    run.line.waiting = 3;
    run.line.oldestWaiting = "2026-12-09T14:01:00.000Z";
    run.line.downSince = "2026-12-09T14:03:27.120Z";
    nlohmann::json beat = StationBeat(m, run);
    std::set<std::string> keys;
    for (const auto& field : beat.items()) keys.insert(field.key());
    EXPECT_EQ(
        (std::set<std::string>{"version", "image", "operator", "lot", "stopping", "ended", "counts",
                               "waiting", "oldestWaiting", "lineDownSince", "slots"}),
        keys);
    EXPECT_EQ(nlohmann::json::parse(R"({"name":"app.bin","software":"2.1.0"})"), beat["image"]);
    EXPECT_EQ(nlohmann::json::parse(R"({"passed":0,"failed":1,"already_current":0})"),
              beat["counts"]);
    EXPECT_EQ(3, beat["waiting"]);
    EXPECT_EQ("2026-12-09T14:03:27.120Z", beat["lineDownSince"]);
    EXPECT_TRUE(beat["stopping"]);
    EXPECT_EQ(nlohmann::json::parse(R"({"label":"A1","state":"flash-erase","phase":"flash-erase",
                                        "result":null,"sent":0,"total":0,"hints":[]})"),
              beat["slots"][0]);
    EXPECT_EQ("failed", beat["slots"][1]["state"]);
    EXPECT_EQ("failed", beat["slots"][1]["result"]);
    EXPECT_EQ("upgrade-ended-as", beat["slots"][1]["hints"][0]["hint"]);
    run.line = LineState();
    run.image.hasHeader = false;
    beat = StationBeat(m, run);
    EXPECT_TRUE(beat["oldestWaiting"].is_null() && beat["lineDownSince"].is_null());
    EXPECT_TRUE(beat["image"]["software"].is_null());
}

// The page's "line": null off a line; on one, what the sender sees.
TEST(StationState, TheLineOnlyOnALine) {
    FleetModel m;
    StationRun run;
    EXPECT_TRUE(StationState(m, run, false)["line"].is_null());
    run.onLine = true;
    run.line.refused = true;
    run.line.reason = "revoked";
    run.line.waiting = 12;
    nlohmann::json line = StationState(m, run, false)["line"];
    EXPECT_EQ(nlohmann::json::parse(R"({"connected":false,"downSince":null,"refused":true,
                                        "rejected":false,"reason":"revoked","waiting":12,
                                        "oldestWaiting":null})"),
              line);
}
