// The events' JSON Lines: what is encoded decodes to the same event, and
// what is not an event of this version is refused with a reason, never
// taken for something else.
#include <gtest/gtest.h>

#include "events/run_events.h"

namespace {

RunEvent RoundTrip(const RunEvent& e) {
    RunEvent back;
    std::string why;
    EXPECT_TRUE(DecodeEvent(EncodeEvent(e), back, why)) << why << ": " << EncodeEvent(e);
    return back;
}

bool Refused(const std::string& line) {
    RunEvent e;
    std::string why;
    bool decoded = DecodeEvent(line, e, why);
    EXPECT_FALSE(why.empty() && !decoded);
    return !decoded;
}

}  // namespace

TEST(RunEvents, EveryKindComesBackAsItWent) {
    RunEvent progress;
    progress.kind = EventKind::Progress;
    progress.port = "/dev/ttyUSB1";
    progress.phase = RunPhase::Upload;
    progress.progress = {12, 344, 1536, 43976, 3, 5300.5, 8, "1K byte(s) sent"};
    RunEvent back = RoundTrip(progress);
    EXPECT_EQ(EventKind::Progress, back.kind);
    EXPECT_EQ("/dev/ttyUSB1", back.port);
    EXPECT_EQ(RunPhase::Upload, back.phase);
    EXPECT_EQ(344, back.progress.blocksToSend);
    EXPECT_EQ(43976, back.progress.total);
    EXPECT_DOUBLE_EQ(5300.5, back.progress.rate);
    EXPECT_EQ("1K byte(s) sent", back.progress.text);

    RunEvent image;
    image.kind = EventKind::Image;
    image.path = "fw.bin";
    image.size = 45000;
    image.hasIdentity = true;
    image.identity = {"ORVANE", "5800", "HW-A1", "1.00.01"};
    back = RoundTrip(image);
    EXPECT_TRUE(back.hasIdentity);
    EXPECT_EQ("1.00.01", back.identity.software);
    EXPECT_EQ(45000, back.size);
    image.hasIdentity = false;
    image.size = -1;  // unreadable
    back = RoundTrip(image);
    EXPECT_FALSE(back.hasIdentity);
    EXPECT_EQ(-1, back.size);

    RunEvent end;
    end.kind = EventKind::End;
    end.outcome = OutcomeAlreadyCurrent;
    end.message = "m";
    end.exitStatus = 0;
    end.record = {{"outcome", "already-current"}};
    back = RoundTrip(end);
    EXPECT_EQ(OutcomeAlreadyCurrent, back.outcome);
    EXPECT_EQ("already-current", back.record["outcome"]);

    nlohmann::json id = {
        {"module", "5800"}, {"software", "1.0{x}"}, {"customer", "}{"}, {"hardware", "H"}};
    back = RoundTrip(HintEvent(HintKind::MismatchImage, id));
    EXPECT_EQ(HintKind::MismatchImage, back.hint);
    EXPECT_EQ(id, back.facts);  // a fact's own braces are data, not placeholders
    EXPECT_EQ(
        "image:   module 5800, software 1.0{x}, customer }{, hardware H; only the override access "
        "word (--access WORD) lets the upgrade go on",
        back.text);
    back = RoundTrip(HintEvent(HintKind::LatencyTimerLong, {{"latency_ms", 16}, {"fix", "f"}}));
    EXPECT_EQ(0u, back.text.find("the adapter's latency timer is 16 ms,"));
    EXPECT_EQ("hint: " + back.text, EventLine(back));
    back = RoundTrip(MessageEvent(MessageLevel::Warning, "w"));
    EXPECT_EQ("warning: w", EventLine(back));
    back = RoundTrip(TraceEvent(TraceKind::Received, "Boot>"));
    EXPECT_EQ(TraceKind::Received, back.trace);
    for (int p = 0; p < static_cast<int>(RunPhase::Count); ++p)
        EXPECT_EQ(static_cast<RunPhase>(p), RoundTrip(PhaseEvent(static_cast<RunPhase>(p))).phase);
}

TEST(RunEvents, TextThatIsNotUtf8IsReplacedNotRefused) {
    RunEvent scanner;
    scanner.kind = EventKind::Scanner;
    scanner.identity = {"\xff\xfe", "5800", "HW", "1.0"};
    RunEvent back = RoundTrip(scanner);
    EXPECT_EQ("5800", back.identity.module);
    EXPECT_NE("\xff\xfe", back.identity.customer);
}

TEST(RunEvents, AnythingElseIsRefusedWithAReason) {
    EXPECT_TRUE(Refused(""));
    EXPECT_TRUE(Refused("hint: not json"));
    EXPECT_TRUE(Refused("[1,2]"));
    EXPECT_TRUE(Refused(R"({"ev":"phase","phase":"upload"})"));           // no version
    EXPECT_TRUE(Refused(R"({"v":2,"ev":"phase","phase":"upload"})"));     // a later version
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"explode"})"));                    // no such kind
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"phase","phase":"uploading"})"));  // no such phase
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"phase","phase":7})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"tally","done":"2","failed":0})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"tally","done":1e300,"failed":0})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"tally","done":18446744073709551615,"failed":0})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"hint","hint":"made-up","text":"x"})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"hint","hint":"line-lost","facts":[1],"text":"x"})"));
    EXPECT_TRUE(
        Refused(R"({"v":1,"ev":"hint","hint":"line-lost","facts":{"a":{"b":1}},"text":"x"})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"end","outcome":"success","message":"m","exit":0})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"scanner","identity":{"module":"5800"}})"));
    EXPECT_TRUE(Refused(R"({"v":1,"ev":"phase","phase":"upload","port":5})"));
}

TEST(RunEvents, RequestsToAChildAreOneByteEach) {
    for (ChildRequest r : {ChildRequest::Finish, ChildRequest::StopNow, ChildRequest::Retry}) {
        ChildRequest back = ChildRequest::Finish;
        ASSERT_TRUE(DecodeRequest(EncodeRequest(r), back));
        EXPECT_EQ(r, back);
    }
    ChildRequest ignored;
    EXPECT_FALSE(DecodeRequest('x', ignored));
    EXPECT_FALSE(DecodeRequest(0, ignored));
}
