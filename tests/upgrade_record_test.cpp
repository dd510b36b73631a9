// The record every view, file and the line keep of an upgrade: what goes out
// comes back the same, what is not a record is refused, and the CSV is safe
// in a spreadsheet.
#include <gtest/gtest.h>

#include <set>

#include "events/upgrade_record.h"

namespace {

UpgradeRecord Sample() {
    UpgradeRecord r;
    r.recordId = NewRecordId();
    r.station = "Line 2 / bench \"A\"";
    r.seq = 41;
    r.time = "2026-12-08T12:00:00Z";
    r.startedAt = "2026-12-08T13:00:00+01:00";
    r.endedAt = "2026-12-08T13:00:14+01:00";
    r.slot = "=HYPERLINK(\"x\")";
    r.port = "/dev/ttyUSB0";
    r.operatorName = "Zoë 李";
    r.lot = "'); DROP TABLE upgrade_records; --";
    r.image = "fw.bin";
    r.imageSize = 61440;
    r.hasHeader = r.hasScanner = true;
    r.header = {"ACME", "5800", "HW-B", "2.00.00"};
    r.scanner = {"ACME", "5800", "HW-B", "1.04.07"};
    r.outcome = r.upgradeOutcome = OutcomeSuccess;
    r.message = "a, \"b\"\nc";
    r.started = true;
    r.seconds = 13.5;
    r.blocksSent = 473;
    r.answerDelayMs = 7.94;
    return r;
}

}  // namespace

TEST(UpgradeRecord, WhatGoesOutComesBackTheSame) {
    UpgradeRecord r = Sample(), back;
    std::string why;
    ASSERT_TRUE(RecordFromJson(RecordJson(r), back, why)) << why;
    r.answerDelayMs = 7.9;  // kept to a tenth
    EXPECT_EQ(RecordLine(r), RecordLine(back));
    nlohmann::json j = RecordJson(r);
    EXPECT_EQ("passed", j["result"]);
    EXPECT_EQ("1.04.07", j["version_before"]);
    EXPECT_EQ("2.00.00", j["version_after"]);
    // Bytes from a scanner that are not UTF-8 are replaced, never refused.
    r.scanner.customer = "\xff\xfe";
    ASSERT_TRUE(RecordFromJson(nlohmann::json::parse(RecordLine(r)), back, why)) << why;
    EXPECT_NE("\xff\xfe", back.scanner.customer);
}

TEST(UpgradeRecord, AnythingElseIsRefusedAndAnOlderRecordIsRead) {
    UpgradeRecord r;
    std::string why;
    EXPECT_FALSE(RecordFromJson(nlohmann::json::array(), r, why));
    EXPECT_FALSE(RecordFromJson({{"message", "m"}}, r, why));  // no outcome
    EXPECT_FALSE(RecordFromJson({{"outcome", "made-up"}}, r, why));
    EXPECT_FALSE(RecordFromJson({{"outcome", "success"}, {"seq", "1"}}, r, why));
    EXPECT_FALSE(RecordFromJson({{"outcome", "success"}, {"size", 1e300}}, r, why));
    EXPECT_FALSE(RecordFromJson({{"outcome", "success"}, {"scanner", "5800"}}, r, why));
    EXPECT_NE(std::string::npos, why.find("scanner"));
    // A report line from before records had ids: read, its new fields empty.
    nlohmann::json old = {{"time", "2026-12-01T08:00:00Z"},
                          {"outcome", "already-current"},
                          {"message", "m"},
                          {"scanner", {{"software", "1.0"}}},
                          {"exit", 0},
                          {"answer_delay_ms", nullptr}};
    ASSERT_TRUE(RecordFromJson(old, r, why)) << why;
    EXPECT_EQ(ResultAlreadyCurrent, RecordResult(r));
    EXPECT_EQ("1.0", VersionAfter(r));
    EXPECT_TRUE(r.recordId.empty());
}

TEST(UpgradeRecord, IdsAreRandomVersion4Uuids) {
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        std::string id = NewRecordId();
        ASSERT_EQ(36u, id.size());
        EXPECT_EQ('4', id[14]);
        EXPECT_NE(std::string::npos, std::string("89ab").find(id[19]));
        ids.insert(id);
    }
    EXPECT_EQ(1000u, ids.size());
}

TEST(UpgradeRecord, TimesCarryTheirOffset) {
    std::tm utc{}, local{};
    utc.tm_year = 126, utc.tm_mon = 11, utc.tm_mday = 31, utc.tm_hour = 23, utc.tm_min = 30;
    local = utc;
    EXPECT_EQ("2026-12-31T23:30:00+00:00", IsoTimeWithOffset(local, utc));
    local.tm_year = 127, local.tm_mon = 0, local.tm_mday = 1, local.tm_hour = 7, local.tm_min = 30;
    EXPECT_EQ("2027-01-01T07:30:00+08:00", IsoTimeWithOffset(local, utc));  // a new year east
    local = utc;
    local.tm_hour = 18, local.tm_min = 0;
    EXPECT_EQ("2026-12-31T18:00:00-05:30", IsoTimeWithOffset(local, utc));
}

TEST(UpgradeRecord, CsvHoldsEveryFieldQuotedAndNoFormula) {
    std::string csv = RecordsAsCsv({Sample()});
    std::string header = csv.substr(0, csv.find("\r\n"));
    EXPECT_EQ(0u, header.find("time,slot,port,"));
    EXPECT_NE(std::string::npos, header.find(",header_software,"));
    std::string row = csv.substr(header.size() + 2);
    EXPECT_EQ(0u, row.find("2026-12-08T12:00:00Z,\"'=HYPERLINK(\"\"x\"\")\","));
    EXPECT_NE(std::string::npos, row.find(",\"a, \"\"b\"\"\nc\","));
    EXPECT_NE(std::string::npos, row.find(",ACME,5800,HW-B,2.00.00,"));
    EXPECT_NE(std::string::npos, row.find(",'); DROP TABLE upgrade_records; --,"));
    EXPECT_EQ(RecordLine(Sample()).size() + 1, RecordsAsJsonLines({Sample()}).size());
}

TEST(UpgradeRecord, SqlValuesFollowTheColumnsAndLeaveUnknownsNull) {
    UpgradeRecord r = Sample();
    r.outcome = OutcomeNotFinished;
    r.imageSize = -1;
    std::vector<SqlValue> values = RecordSqlValues(r);
    const std::vector<std::string>& columns = RecordSqlColumns();
    ASSERT_EQ(columns.size(), values.size());
    auto value = [&](const std::string& name) {
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i] == name) return values[i];
        return SqlValue{true, "no such column"};
    };
    EXPECT_EQ("failed", value("result").text);
    EXPECT_TRUE(value("version_after").null);  // a failed upgrade leaves it unknown
    EXPECT_TRUE(value("unit_serial").null);
    EXPECT_TRUE(value("image_size").null);
    EXPECT_EQ(r.lot, value("lot").text);  // as typed: the statement binds it
    EXPECT_EQ(RecordLine(r), value("body").text);
}

TEST(StationName, OneToSixtyFourPrintableCharacters) {
    std::string cjk64;
    for (int i = 0; i < 64; ++i) cjk64 += "站";
    EXPECT_TRUE(StationNameIsFit(cjk64));  // 192 bytes
    EXPECT_FALSE(StationNameIsFit(cjk64 + "a"));
    EXPECT_TRUE(StationNameIsFit("bench 4 🦊"));
    for (const std::string& unfit :
         {std::string(), std::string(10000, 'n'), std::string("a\nb"), std::string("a\x7f"),
          std::string("a\xc2\x85"),     // U+0085, a control character
          std::string("\xc0\xaf"),      // overlong '/'
          std::string("\xed\xa0\x80"),  // a surrogate
          std::string("\xe7\xab"),      // cut short
          std::string("a\x80"), std::string("a\0b", 3)})
        EXPECT_FALSE(StationNameIsFit(unfit)) << unfit;
}
