// The line's store alone: 20 stations, each with its own connection, storing
// batches of records as fast as PostgreSQL commits them (synchronous_commit
// as the server has it). Prints records a second and each batch's time from
// its call to its commit: the share of a record's way to the database that
// the store takes, without the HTTP before it.
//
//     pg_cluster.py -- line_store_bench [STATIONS [BATCHES [RECORDS]]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "events/upgrade_record.h"
#include "line/line_store.h"

namespace {

using Clock = std::chrono::steady_clock;

LineRecordRow RowOf(const std::string& station, int64_t seq) {
    UpgradeRecord r;
    r.recordId = NewRecordId();
    r.station = station;
    r.seq = seq;
    r.startedAt = "2026-12-09T10:00:00+01:00";
    r.endedAt = "2026-12-09T10:00:14+01:00";
    r.slot = "A" + std::to_string(seq % 32 + 1);
    r.port = "/dev/ttyUSB" + std::to_string(seq % 32);
    r.operatorName = "Ines Park";
    r.lot = "LOT-" + std::to_string(seq / 500);
    r.unitSerial = "SN-" + std::to_string(seq);
    r.image = "scanner-fw-2.00.00.bin";
    r.imageSize = 61440;
    r.imageSha256 = std::string(64, 'a');
    r.hasScanner = r.hasHeader = true;
    r.scanner = {"ACME", "5800", "HW-B", "1.04.07"};
    r.header = {"ACME", "5800", "HW-B", "2.00.00"};
    r.outcome = seq % 20 ? OutcomeSuccess : OutcomeNotFinished;
    r.message = seq % 20 ? "upgrade success!!!" : "upgrade not finish!!!";
    r.seconds = 14.2;
    return LineRowOf(r);
}

struct StationRun {
    std::string name;
    std::vector<double> batchMs;
    int stored = 0;
    std::string failure;
};

void Deliver(const std::string& conninfo, StationRun& run, int batches, int records) {
    std::string why;
    LineStore* store = OpenLineStore(conninfo, why);
    if (!store) {
        run.failure = why;
        return;
    }
    for (int b = 0; b < batches && run.failure.empty(); ++b) {
        std::vector<LineRecordRow> rows;
        for (int i = 0; i < records; ++i) rows.push_back(RowOf(run.name, b * records + i + 1));
        StoredCounts counts;
        auto start = Clock::now();
        if (StoreRecords(store, run.name, rows, counts, why) != StoreOk) run.failure = why;
        run.batchMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        run.stored += counts.inserted;
    }
    CloseLineStore(store);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
    const char* conninfo = std::getenv("ORVANE_TEST_PG");
    if (!conninfo) {
        std::fputs("line_store_bench: run it under tests/pg_cluster.py\n", stderr);
        return 2;
    }
    int stations = argc > 1 ? std::atoi(argv[1]) : 20, batches = argc > 2 ? std::atoi(argv[2]) : 50;
    int records = argc > 3 ? std::atoi(argv[3]) : 20;
    std::string why, key;
    LineStore* setup = OpenLineStore(conninfo, why);
    if (!setup || MigrateLineStore(setup, why) != StoreOk) {
        std::fprintf(stderr, "line_store_bench: %s\n", why.c_str());
        return 1;
    }
    std::vector<StationRun> runs(stations);
    for (int i = 0; i < stations; ++i) {
        runs[i].name = "bench-" + std::to_string(i + 1);
        AddStation(setup, runs[i].name, key, why);
    }
    CloseLineStore(setup);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (StationRun& run : runs)
        threads.emplace_back(Deliver, std::string(conninfo), std::ref(run), batches, records);
    for (std::thread& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    int stored = 0;
    for (const StationRun& run : runs) {
        if (!run.failure.empty())
            std::fprintf(stderr, "%s: %s\n", run.name.c_str(), run.failure.c_str());
        all.insert(all.end(), run.batchMs.begin(), run.batchMs.end());
        stored += run.stored;
    }
    std::printf("%d stations, %d batches of %d: %d records stored in %.2f s, %.0f records/s\n",
                stations, batches, records, stored, seconds, stored / seconds);
    std::printf("a batch from its call to its commit: p50 %.1f ms, p99 %.1f ms, most %.1f ms\n",
                Percentile(all, 0.5), Percentile(all, 0.99), Percentile(all, 1.0));
    return stored == stations * batches * records ? 0 : 1;
}
