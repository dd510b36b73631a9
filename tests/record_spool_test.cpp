// The record spool: records come back oldest first and byte for byte, survive
// reopening and a writer killed at any moment, are synced at each commit, and
// are delivered once while a second thread or process uses the same file.
#include <gtest/gtest.h>
#include <sqlite3.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "spool/record_spool.h"

namespace fs = std::filesystem;
using namespace std::string_literals;
#ifndef _WIN32
extern char** environ;
#endif

namespace {

unsigned ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return getpid();
#endif
}

// The first column of the query's first row, over a connection of its own.
std::string Sql(const std::string& path, const std::string& query) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::string value = "(failed)";
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, query.c_str(), -1, &s, nullptr) == SQLITE_OK) {
        int rc = sqlite3_step(s);
        const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(s, 0) : nullptr;
        if (rc == SQLITE_ROW || rc == SQLITE_DONE)
            value = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return value;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Ids(const std::vector<SpooledRecord>& records) {
    std::vector<std::string> ids;
    for (const SpooledRecord& r : records) ids.push_back(r.recordId);
    return ids;
}

// tests/spool_writer.cpp in a process of its own, its standard output read in lines.
#ifdef _WIN32
struct Writer {
    HANDLE process = nullptr;
    FILE* out = nullptr;
    HANDLE in = nullptr;
};

// spool_writer.exe is built beside this test.
std::string WriterPath() {
    char self[MAX_PATH];
    DWORD size = GetModuleFileNameA(nullptr, self, MAX_PATH);
    return (fs::path(std::string(self, size)).parent_path() / "spool_writer.exe").string();
}

Writer StartWriter(const std::vector<std::string>& args) {
    Writer w;
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherited, 0)) return w;
    if (!CreatePipe(&inRead, &inWrite, &inherited, 0)) {
        CloseHandle(outRead), CloseHandle(outWrite);
        return w;
    }
    // Only the writer's ends: it must see its input end when ours is closed.
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "\"" + WriterPath() + "\"";
    for (const std::string& a : args) command += " \"" + a + "\"";
    PROCESS_INFORMATION started{};
    BOOL ok = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &started);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!ok) {
        CloseHandle(outRead), CloseHandle(inWrite);
        return w;
    }
    CloseHandle(started.hThread);
    w.process = started.hProcess;
    w.out =
        _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(outRead), _O_RDONLY | _O_BINARY), "rb");
    w.in = inWrite;
    return w;
}

// TerminateProcess is Windows' SIGKILL: the writer gets no chance to clean up.
int FinishWriter(Writer& w, bool kill) {
    if (!w.process) return -1;
    if (kill) TerminateProcess(w.process, 137);
    CloseHandle(w.in);
    WaitForSingleObject(w.process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(w.process, &code);
    CloseHandle(w.process);
    std::fclose(w.out);
    return static_cast<int>(code);
}
#else
struct Writer {
    pid_t pid = -1;
    FILE* out = nullptr;
    int in = -1;
};

Writer StartWriter(const std::vector<std::string>& args) {
    int out[2], in[2];
    Writer w;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return w;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv = {const_cast<char*>(SPOOL_WRITER)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int failed = posix_spawn(&w.pid, SPOOL_WRITER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    if (failed != 0) {
        w.pid = -1;
        close(out[0]), close(in[1]);
        return w;
    }
    w.out = fdopen(out[0], "r");
    w.in = in[1];
    return w;
}

// A writer that never started is not waited for (nor is -1 signalled: that is everyone).
int FinishWriter(Writer& w, bool kill) {
    if (w.pid <= 0) return -1;
    if (kill) ::kill(w.pid, SIGKILL);
    close(w.in);
    int status = 0;
    waitpid(w.pid, &status, 0);
    std::fclose(w.out);
    return status;
}
#endif

// "" once the writer closed its output. A Windows writer ends its lines in CR LF.
std::string ReadLine(Writer& w) {
    std::string line;
    if (!w.out) return line;
    for (int c; (c = std::fgetc(w.out)) != EOF && c != '\n';) line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

class SpoolTest : public ::testing::Test {
   protected:
    void SetUp() override {
        static int serial = 0;
        dir_ = fs::temp_directory_path() /
               ("orvane-spool-" + std::to_string(ProcessId()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_);
        path_ = (dir_ / "spool.sqlite").string();
    }
    void TearDown() override {
        CloseSpool(spool_);
        fs::remove_all(dir_);
    }
    void Reopen() {
        CloseSpool(spool_);
        std::string why;
        spool_ = OpenSpool(path_, why);
        ASSERT_NE(spool_, nullptr) << why;
    }
    int64_t Spool(const std::string& id, const std::string& body = "{}") {
        std::string why;
        int64_t seq = SpoolRecord(spool_, id, body, why);
        EXPECT_GT(seq, 0) << why;
        return seq;
    }
    std::vector<SpooledRecord> Pending(int most) {
        std::vector<SpooledRecord> out;
        std::string why;
        EXPECT_TRUE(PendingRecords(spool_, most, out, why)) << why;
        return out;
    }
    bool Deliver(const std::vector<SpooledRecord>& records) {
        std::vector<int64_t> seqs;
        for (const SpooledRecord& r : records) seqs.push_back(r.seq);
        std::string why;
        bool marked = MarkDelivered(spool_, seqs, why);
        EXPECT_TRUE(marked) << why;
        return marked;
    }
    // The ids left in the file, by sequence number.
    std::string StoredIds() {
        return Sql(
            path_,
            "SELECT group_concat(record_id) FROM (SELECT record_id FROM records ORDER BY seq)");
    }
    std::string OpenError() {
        std::string why;
        RecordSpool* other = OpenSpool(path_, why);
        EXPECT_EQ(other, nullptr);
        CloseSpool(other);
        return why;
    }

    fs::path dir_;
    std::string path_;
    RecordSpool* spool_ = nullptr;
};

TEST_F(SpoolTest, RecordsComeBackOldestFirstInBatchesAndNotOnceDelivered) {
    Reopen();
    std::vector<int64_t> seqs;
    for (int i = 0; i < 10; ++i)
        seqs.push_back(Spool("r" + std::to_string(i), "b" + std::to_string(i)));
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_GT(seqs[i], seqs[i - 1]);
    EXPECT_EQ(WaitingCount(spool_), 10);
    for (int first = 0; first < 10; first += 4) {
        std::vector<SpooledRecord> batch = Pending(4);
        ASSERT_EQ(batch.size(), size_t(std::min(4, 10 - first)));
        for (size_t i = 0; i < batch.size(); ++i) {
            EXPECT_EQ(batch[i].seq, seqs[first + i]);
            EXPECT_EQ(batch[i].recordId, "r" + std::to_string(first + i));
            EXPECT_EQ(batch[i].body, "b" + std::to_string(first + i));
        }
        // A sender that fails before marking gets the same batch again.
        EXPECT_EQ(Ids(Pending(4)), Ids(batch));
        Deliver(batch);
        EXPECT_EQ(WaitingCount(spool_), int64_t(10 - first - batch.size()));
    }
    EXPECT_TRUE(Pending(4).empty());
    std::vector<SpooledRecord> none;
    std::string why;
    EXPECT_FALSE(PendingRecords(spool_, 0, none, why));
}

TEST_F(SpoolTest, MarkingIsAllOrNoneAndKeepsTheFirstTime) {
    Reopen();
    int64_t a = Spool("a");
    Spool("b");
    std::string why;
    EXPECT_FALSE(MarkDelivered(spool_, {a, 9999}, why));
    EXPECT_NE(why.find("9999"), std::string::npos) << why;
    EXPECT_EQ(WaitingCount(spool_), 2);
    EXPECT_TRUE(MarkDelivered(spool_, {a}, why)) << why;
    Sql(path_,
        "UPDATE records SET delivered_at = '2000-01-01T00:00:00.000Z' WHERE record_id = 'a'");
    EXPECT_TRUE(MarkDelivered(spool_, {a}, why)) << why;
    EXPECT_EQ(Sql(path_, "SELECT delivered_at FROM records WHERE record_id = 'a'"),
              "2000-01-01T00:00:00.000Z");
    EXPECT_EQ(WaitingCount(spool_), 1);
}

// A retry after a crash, even one after the record was delivered.
TEST_F(SpoolTest, ARepeatedIdStoresNothingAndKeepsItsNumber) {
    Reopen();
    int64_t a = Spool("a", "first");
    Spool("b");
    EXPECT_EQ(Spool("a", "second"), a);
    std::vector<SpooledRecord> waiting = Pending(10);
    ASSERT_EQ(Ids(waiting), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(waiting[0].body, "first");
    Deliver({waiting[0]});
    EXPECT_EQ(Spool("a", "third"), a);
    EXPECT_EQ(Ids(Pending(10)), std::vector<std::string>{"b"});
    std::string why;
    EXPECT_EQ(SpoolRecord(spool_, "", "{}", why), -1);
    EXPECT_FALSE(why.empty());
}

TEST_F(SpoolTest, HostileBytesComeBackByteForByte) {
    Reopen();
    std::vector<std::string> texts = {"it's \"quoted\"",
                                      "'); DROP TABLE records; --",
                                      "nul\0one"s,
                                      "nul\0two"s,
                                      "bad utf-8 \xff\xfe\x80 \xc0\xaf \xed\xa0\x80",
                                      "ends in nul\0"s,
                                      "ends in nul"};
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    for (const std::string& t : texts) Spool(t, t + "|" + t);
    Spool("big", big);
    Spool("empty", "");
    Reopen();
    std::vector<SpooledRecord> back = Pending(100);
    ASSERT_EQ(back.size(), texts.size() + 2);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(back[i].recordId, texts[i]);
        EXPECT_EQ(back[i].body, texts[i] + "|" + texts[i]);
    }
    EXPECT_TRUE(back[texts.size()].body == big);
    EXPECT_EQ(back[texts.size() + 1].body, "");
}

// AUTOINCREMENT: numbers of pruned records are not given out again.
TEST_F(SpoolTest, RecordsAndNumbersSurviveReopeningAndPruning) {
    Reopen();
    Spool("a");
    Spool("b");
    int64_t c = Spool("c");
    Deliver(Pending(1));
    Reopen();
    EXPECT_EQ(Ids(Pending(10)), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(WaitingCount(spool_), 2);
    int64_t d = Spool("d");
    EXPECT_GT(d, c);
    Deliver(Pending(10));
    std::string why;
    ASSERT_TRUE(PruneDelivered(spool_, 0, why)) << why;
    EXPECT_EQ(StoredIds(), "");
    Reopen();
    EXPECT_GT(Spool("e"), d);
}

TEST_F(SpoolTest, PruningDropsOnlyRecordsDeliveredLongEnoughAgo) {
    Reopen();
    Spool("old");
    Spool("recent");
    Spool("waiting");
    Deliver(Pending(2));
    Sql(path_,
        "UPDATE records SET delivered_at = '2000-01-01T00:00:00.000Z' WHERE record_id = 'old'");
    Sql(path_, "UPDATE records SET spooled_at = '2000-01-01T00:00:00.000Z'");
    std::string why;
    ASSERT_TRUE(PruneDelivered(spool_, 3600, why)) << why;
    EXPECT_EQ(StoredIds(), "recent,waiting");
    ASSERT_TRUE(PruneDelivered(spool_, 0, why)) << why;
    EXPECT_EQ(StoredIds(), "waiting");
    EXPECT_FALSE(PruneDelivered(spool_, -1, why));
}

TEST_F(SpoolTest, RefusesWhatIsNotItsSpoolAndLeavesItAsItWas) {
    const std::pair<std::string, std::string> foreign[] = {
        {"station notes\nline 2: not a database\n", "not a spool"},
        {"abc", "not a spool"},
        {"SQLite format 3\0 but then nothing sensible follows"s, "not a spool"}};
    for (const auto& [bytes, reason] : foreign) {
        std::ofstream(path_, std::ios::binary) << bytes;
        EXPECT_NE(OpenError().find(reason), std::string::npos) << bytes;
        EXPECT_TRUE(FileBytes(path_) == bytes) << bytes;
    }
    fs::remove(path_);
    Sql(path_, "CREATE TABLE things(x)");
    std::string before = FileBytes(path_);
    EXPECT_NE(OpenError().find("not a spool of orvane-flash"), std::string::npos);
    EXPECT_TRUE(FileBytes(path_) == before);

    fs::remove(path_);
    Reopen();
    CloseSpool(spool_);
    spool_ = nullptr;
    Sql(path_, "PRAGMA user_version = 2");
    before = FileBytes(path_);
    EXPECT_NE(OpenError().find("the spool was written by a newer version"), std::string::npos);
    EXPECT_TRUE(FileBytes(path_) == before);

    path_ = (dir_ / "no such folder" / "spool.sqlite").string();
    EXPECT_NE(OpenError().find(path_), std::string::npos);
}

TEST_F(SpoolTest, AnEmptyFileBecomesASpool) {
    std::ofstream(path_, std::ios::binary).close();
    Reopen();
    EXPECT_EQ(WaitingCount(spool_), 0);
    Spool("a");
    EXPECT_EQ(Sql(path_, "PRAGMA journal_mode"), "wal");
}

// The default VFS, but counting its files' syncs. Its files may come with
// different methods (the database's and the logs' differ on Linux): each
// kind gets a counting copy.
std::atomic<int> syncs{0};
sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs countingVfs;
struct CountedMethods {
    const sqlite3_io_methods* real;
    sqlite3_io_methods counting;
};
std::list<CountedMethods> counted;

int CountingSync(sqlite3_file* file, int flags) {
    ++syncs;
    for (const CountedMethods& c : counted)
        if (file->pMethods == &c.counting) return c.real->xSync(file, flags);
    return SQLITE_MISUSE;
}

int CountingOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    int rc = realVfs->xOpen(realVfs, name, file, flags, outFlags);
    if (rc != SQLITE_OK || !file->pMethods) return rc;
    auto same = [&](const CountedMethods& c) { return c.real == file->pMethods; };
    auto at = std::find_if(counted.begin(), counted.end(), same);
    if (at == counted.end()) {
        at = counted.insert(counted.end(), {file->pMethods, *file->pMethods});
        at->counting.xSync = CountingSync;
    }
    file->pMethods = &at->counting;
    return rc;
}

// Registered as the default while it lives.
struct CountingVfs {
    CountingVfs() {
        realVfs = sqlite3_vfs_find(nullptr);
        countingVfs = *realVfs;
        countingVfs.zName = "orvane-counting";
        countingVfs.pNext = nullptr;
        countingVfs.xOpen = CountingOpen;
        sqlite3_vfs_register(&countingVfs, 1);
    }
    ~CountingVfs() { sqlite3_vfs_unregister(&countingVfs); }
};

// synchronous = FULL: each commit syncs the write-ahead log before it returns
// (NORMAL syncs it at checkpoints only), on every platform's VFS.
TEST_F(SpoolTest, EachCommitIsSyncedBeforeItReturns) {
    CountingVfs counting;
    Reopen();
    Spool("first");  // the log's header is synced with its first frame in any mode
    EXPECT_TRUE(fs::exists(path_ + "-wal"));
    int before = syncs;
    for (int i = 0; i < 5; ++i) Spool("r" + std::to_string(i));
    EXPECT_GE(syncs - before, 5);
    before = syncs;
    Deliver(Pending(10));
    EXPECT_GE(syncs - before, 1);
    CloseSpool(spool_);
    spool_ = nullptr;
}

#ifdef _WIN32
// The environment is restored when the test ends: Windows' own, in UTF-16,
// where the spool reads LOCALAPPDATA.
struct Environment {
    std::map<std::wstring, std::optional<std::wstring>> saved;
    // nullptr removes it.
    void Set(const wchar_t* name, const wchar_t* value) {
        if (!saved.count(name)) saved[name] = Get(name);
        SetEnvironmentVariableW(name, value);
    }
    static std::optional<std::wstring> Get(const wchar_t* name) {
        DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size == 0) return std::nullopt;
        std::wstring value(size, L'\0');
        value.resize(GetEnvironmentVariableW(name, &value[0], size));
        return value;
    }
    ~Environment() {
        for (const auto& [name, value] : saved)
            SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
    }
};

// %LOCALAPPDATA%\orvane\spool.sqlite, handed to SQLite in UTF-8: a folder
// name outside the code page still works.
TEST_F(SpoolTest, TheUsualPathIsInLocalAppData) {
    Environment env;
    std::string path, why;
    fs::path local = dir_ / L"Zo\u00eb \u65e5\u672c";
    fs::create_directories(local);
    env.Set(L"LOCALAPPDATA", local.c_str());
    ASSERT_TRUE(PrepareSpoolPath(path, why)) << why;
    EXPECT_EQ(path, (local / "orvane" / "spool.sqlite").u8string());
    EXPECT_TRUE(fs::is_directory(local / "orvane"));
    path_ = path;
    Reopen();
    Spool("a");
    EXPECT_TRUE(fs::is_regular_file(local / "orvane" / "spool.sqlite"));
    EXPECT_EQ(Sql(path_, "SELECT record_id FROM records"), "a");

    env.Set(L"LOCALAPPDATA", nullptr);
    EXPECT_FALSE(PrepareSpoolPath(path, why));
    EXPECT_NE(why.find("LOCALAPPDATA"), std::string::npos) << why;

    std::ofstream(dir_ / "file").close();
    env.Set(L"LOCALAPPDATA", (dir_ / "file").c_str());
    EXPECT_FALSE(PrepareSpoolPath(path, why));
    EXPECT_NE(why.find("file"), std::string::npos) << why;
}
#else
// The environment is restored when the test ends.
struct Environment {
    std::map<std::string, std::string> saved;
    void Set(const char* name, const std::string& value) {
        if (!saved.count(name)) saved[name] = getenv(name) ? getenv(name) : "\x01";
        setenv(name, value.c_str(), 1);
    }
    ~Environment() {
        for (const auto& [name, value] : saved)
            value == "\x01" ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    }
};

int Mode(const fs::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : -1;
}

TEST_F(SpoolTest, TheUsualPathIsInTheUsersStateFolder) {
    Environment env;
    std::string path, why;
    env.Set("XDG_STATE_HOME", (dir_ / "state").string());
    ASSERT_TRUE(PrepareSpoolPath(path, why)) << why;
    EXPECT_EQ(path, (dir_ / "state" / "orvane" / "spool.sqlite").string());
    EXPECT_EQ(Mode(dir_ / "state" / "orvane"), 0700);

    // A relative XDG_STATE_HOME is ignored for the home's.
    env.Set("XDG_STATE_HOME", "relative");
    env.Set("HOME", (dir_ / "home").string());
    ASSERT_TRUE(PrepareSpoolPath(path, why)) << why;
    EXPECT_EQ(path, (dir_ / "home" / ".local" / "state" / "orvane" / "spool.sqlite").string());
    EXPECT_EQ(Mode(dir_ / "home" / ".local"), 0700);
    path_ = path;
    Reopen();

    std::ofstream(dir_ / "file").close();
    env.Set("XDG_STATE_HOME", (dir_ / "file").string());
    EXPECT_FALSE(PrepareSpoolPath(path, why));
    EXPECT_NE(why.find("file"), std::string::npos) << why;
}
#endif

// Killed between any two instructions: what it reported is there, once, and
// the next writer's retry of the same ids keeps their numbers.
TEST_F(SpoolTest, AWriterKilledAtAnyMomentLosesNothingItReported) {
    const int ids = 300;
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::map<std::string, int64_t> reported;
    for (int round = 0; round < 25; ++round) {
        Writer w = StartWriter({path_, "spool", "rec", std::to_string(ids)});
        int killAfter = std::uniform_int_distribution<int>(0, ids)(random);  // 0: while opening
        for (int n = 0; n < killAfter; ++n) {
            std::string line = ReadLine(w), id;
            int64_t seq = 0;
            if (line == "done") break;
            ASSERT_TRUE(std::istringstream(line) >> id >> seq) << line;
            EXPECT_EQ(reported.emplace(id, seq).first->second, seq) << id;
        }
        FinishWriter(w, true);
    }
    EXPECT_EQ(Sql(path_, "PRAGMA integrity_check"), "ok");
    Reopen();
    std::vector<SpooledRecord> stored = Pending(2 * ids);
    ASSERT_GE(stored.size(), reported.size());
    // Each record is spooled after the one before is on disk: no gaps, no repeats.
    for (size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].recordId, "rec-" + std::to_string(i));
        auto at = reported.find(stored[i].recordId);
        if (at != reported.end()) {
            EXPECT_EQ(at->second, stored[i].seq);
        }
    }
}

TEST_F(SpoolTest, SpoolerAndSenderThreadsDeliverEachRecordOnce) {
    Reopen();
    const int records = 3000;
    std::atomic<bool> spooled{false};
    std::thread spooler([&] {
        for (int i = 0; i < records; ++i) Spool("r" + std::to_string(i));
        spooled = true;
    });
    std::vector<std::string> delivered;
    int64_t last = 0;
    // A batch that is never marked would come back for ever.
    for (bool finished = false; !finished && delivered.size() <= size_t(records);) {
        finished = spooled;  // read before the batch, so that the last batch is not missed
        std::vector<SpooledRecord> batch = Pending(64);
        for (const SpooledRecord& r : batch) {
            EXPECT_GT(r.seq, last);
            last = r.seq;
            delivered.push_back(r.recordId);
        }
        if (!Deliver(batch)) break;
        if (batch.empty() && !finished) std::this_thread::yield();
        finished = finished && batch.empty();
    }
    spooler.join();
    ASSERT_EQ(delivered.size(), size_t(records));
    for (int i = 0; i < records; ++i) EXPECT_EQ(delivered[i], "r" + std::to_string(i));
    EXPECT_EQ(WaitingCount(spool_), 0);
}

// Both start on a file that does not exist yet, so both may try to make it.
TEST_F(SpoolTest, TwoWriterProcessesOnOneFileWaitOrFailClearly) {
    Writer a = StartWriter({path_, "spool", "a", "400"});
    Writer b = StartWriter({path_, "spool", "b", "400"});
    std::map<std::string, int64_t> stored;
    int failed = 0;
    for (Writer* w : {&a, &b}) {
        for (std::string line; !(line = ReadLine(*w)).empty() && line != "done";) {
            std::string id;
            int64_t seq = 0;
            if (line.rfind("failed ", 0) == 0) {
                EXPECT_NE(line.find("in use by another process"), std::string::npos) << line;
                ++failed;
            } else {
                EXPECT_TRUE(std::istringstream(line) >> id >> seq) << line;
                EXPECT_TRUE(stored.emplace(id, seq).second) << id;
            }
        }
        EXPECT_EQ(FinishWriter(*w, false), 0);
    }
    EXPECT_EQ(stored.size() + failed, 800u);
    EXPECT_EQ(Sql(path_, "PRAGMA integrity_check"), "ok");
    Reopen();
    std::vector<SpooledRecord> all = Pending(1000);
    EXPECT_EQ(all.size(), stored.size());
    for (const SpooledRecord& r : all) EXPECT_EQ(stored[r.recordId], r.seq) << r.recordId;
}

TEST_F(SpoolTest, AnotherProcessHoldingTheFileGivesAReasonNotAHang) {
    Reopen();
    Spool("before");
    Writer holder = StartWriter({path_, "hold"});
    ASSERT_EQ(ReadLine(holder), "held");
    std::string why;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SpoolRecord(spool_, "during", "{}", why), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(why.find("in use by another process"), std::string::npos) << why;
    EXPECT_GE(waited, std::chrono::seconds(1));   // it waited for the holder,
    EXPECT_LT(waited, std::chrono::seconds(60));  // but not for ever
    // The sender still reads while another process writes.
    EXPECT_EQ(Ids(Pending(10)), std::vector<std::string>{"before"});
    FinishWriter(holder, true);
    Spool("after");
    EXPECT_EQ(Ids(Pending(10)), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(Sql(path_, "PRAGMA integrity_check"), "ok");
}

}  // namespace
