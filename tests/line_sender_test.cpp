// The line's sender against a line server played here: records arrive in the
// spool's order with its numbers and leave the spool only after a 200; a busy
// database, a refused key, a dropped connection and a server that stalls
// each keep every record, and none of them holds up stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "events/upgrade_record.h"
#include "spool/line_client.h"
#include "spool/line_sender.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace fs = std::filesystem;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char kStation[] = "Bench 1";
const std::string kKey(64, 'a');

struct Heard {
    std::string path, authorization;
    Json body;
    Clock::time_point at;
    int64_t waiting = -1;  // records in the spool when it was asked, where a test counts them
};

// 200: taken as a line takes it, each record stored once by its id.
struct Reply {
    int status = 200;
    std::string body;
    int retryAfter = -1;
    bool stall = false;  // never answers, keeps the connection
    bool drop = false;   // closes the connection without an answer, after taking it
};

// A line server on the loopback address under /line, answering as `answer`
// says, on a thread of its own; every request is kept.
class FakeLine {
   public:
    explicit FakeLine(std::function<Reply(Heard&)> answer) : answer_(std::move(answer)) {
        acceptor_.open(tcp::v4());
        acceptor_.bind({net::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen();
        Accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~FakeLine() {
        io_.stop();
        thread_.join();
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + "/line/";
    }
    std::vector<Heard> Log(const std::string& path) {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Heard> found;
        for (const Heard& h : log_)
            if (h.path == "/line" + path) found.push_back(h);
        return found;
    }
    size_t Stored() {
        std::lock_guard<std::mutex> guard(lock_);
        return stored_.size();
    }

   private:
    struct Session {
        explicit Session(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        http::response<http::string_body> response;
    };

    void Accept() {
        acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec) return;
            Read(std::make_shared<Session>(std::move(socket)));
            Accept();
        });
    }
    void Read(std::shared_ptr<Session> s) {
        s->request = {};
        http::async_read(s->socket, s->buffer, s->request, [this, s](beast::error_code ec, size_t) {
            if (!ec) Answer(s);
        });
    }
    // Under the lock.
    std::string Take(const Heard& h) {
        if (h.path != "/line/api/station/records") return R"({"ok":true})";
        int inserted = 0, already = 0;
        for (const Json& r : h.body["records"])
            ++(stored_.insert(r["record_id"].get<std::string>()).second ? inserted : already);
        return Json{{"inserted", inserted}, {"already", already}, {"conflicting", 0}}.dump();
    }
    Reply Decide(std::shared_ptr<Session> s) {
        Heard heard{std::string(s->request.target()),
                    std::string(s->request[http::field::authorization]),
                    Json::parse(s->request.body(), nullptr, false), Clock::now()};
        std::lock_guard<std::mutex> guard(lock_);
        Reply reply = answer_(heard);
        if (reply.status == 200) reply.body = Take(heard);
        log_.push_back(heard);
        return reply;
    }
    void Answer(std::shared_ptr<Session> s) {
        Reply reply = Decide(s);
        if (reply.stall) return stalled_.push_back(s);
        if (reply.drop) return s->socket.close();
        s->response = {static_cast<http::status>(reply.status), 11};
        s->response.body() = reply.body;
        if (reply.retryAfter >= 0)
            s->response.set(http::field::retry_after, std::to_string(reply.retryAfter));
        s->response.prepare_payload();
        http::async_write(s->socket, s->response, [this, s](beast::error_code ec, size_t) {
            if (!ec) Read(s);
        });
    }

    std::function<Reply(Heard&)> answer_;
    net::io_context io_{1};
    tcp::acceptor acceptor_{io_};
    std::thread thread_;
    std::vector<std::shared_ptr<Session>> stalled_;  // on the server's thread only
    std::mutex lock_;
    std::vector<Heard> log_;
    std::set<std::string> stored_;
};

bool IsBatch(const Heard& h) {
    return h.path == "/line/api/station/records";
}

std::vector<int64_t> WaitingWhenAsked(const std::vector<Heard>& batches) {
    std::vector<int64_t> counts;
    for (const Heard& h : batches) counts.push_back(h.waiting);
    return counts;
}

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); !done();) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int64_t Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

class LineSenderTest : public ::testing::Test {
   protected:
    void SetUp() override {
        static int serial = 0;
        path_ = (fs::temp_directory_path() /
                 ("orvane-sender-" + std::to_string(Clock::now().time_since_epoch().count()) + "-" +
                  std::to_string(serial++) + ".sqlite"))
                    .string();
        std::string why;
        spool_ = OpenSpool(path_, why);
        ASSERT_NE(nullptr, spool_) << why;
    }
    void TearDown() override {
        StopLineSender(sender_, 0);
        CloseSpool(spool_);
        for (const char* end : {"", "-wal", "-shm"}) fs::remove(path_ + end);
    }

    // Records spooled as the station spools them: numbered 0 in their body.
    std::vector<std::string> Spool(int count) {
        std::vector<std::string> ids;
        for (int i = 0; i < count; ++i) {
            UpgradeRecord r;
            r.recordId = NewRecordId();
            r.station = kStation;
            r.time = "2026-12-09T14:03:27Z";
            r.outcome = OutcomeSuccess;
            std::string why;
            EXPECT_GT(SpoolRecord(spool_, r.recordId, RecordLine(r), why), 0) << why;
            ids.push_back(r.recordId);
        }
        NoteRecordSpooled(sender_);
        return ids;
    }
    void Start(const std::string& url) {
        LineSenderSetup setup;
        setup.url = url;
        setup.station = kStation;
        setup.key = kKey;
        setup.spool = spool_;
        setup.beat = [this] { return Json{{"n", beatNumber_.load()}}.dump(); };
        std::string why;
        sender_ = StartLineSender(setup, why);
        ASSERT_NE(nullptr, sender_) << why;
    }
    // Nothing waits in the spool, and the sender has seen it.
    bool Delivered() { return WaitingCount(spool_) == 0 && LineStateOf(sender_).waiting == 0; }
    int64_t Stop(int lastTryMs) {
        int64_t left = StopLineSender(sender_, lastTryMs);
        sender_ = nullptr;
        return left;
    }

    std::string path_;
    RecordSpool* spool_ = nullptr;
    LineSender* sender_ = nullptr;
    std::atomic<int> beatNumber_{0};
};

}  // namespace

TEST(LineAddress, PlainHttpWithAnOptionalPathOnly) {
    LineAddress a;
    std::string why;
    ASSERT_TRUE(ParseLineUrl("http://line.plant:8080/orvane/", a, why)) << why;
    EXPECT_EQ("line.plant", a.host);
    EXPECT_EQ("8080", a.port);
    EXPECT_EQ("/orvane", a.prefix);
    ASSERT_TRUE(ParseLineUrl("HTTP://[fd00::7]", a, why)) << why;
    EXPECT_EQ("fd00::7", a.host);
    EXPECT_EQ("80", a.port);
    EXPECT_FALSE(ParseLineUrl("https://line.plant", a, why));
    EXPECT_NE(std::string::npos, why.find("plain http")) << why;
    for (const char* unfit :
         {"line.plant:8080", "http://", "http://:80", "http://h:0", "http://h:65536", "http://h:8o",
          "http://fd00::7:80", "http://user:pw@h", "http://h/a b", "http://h/?x=1"})
        EXPECT_FALSE(ParseLineUrl(unfit, a, why)) << unfit;
}

// 150 records: a batch of 100 and one of 50, in the spool's order, each with
// its number; each batch still waits in the spool while the line is asked.
TEST_F(LineSenderTest, RecordsArriveInOrderNumberedAndLeaveAfterTheAnswer) {
    std::vector<std::string> ids = Spool(150);
    FakeLine line([&](Heard& h) {
        if (IsBatch(h)) h.waiting = WaitingCount(spool_);
        return Reply{};
    });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return Delivered(); }));
    std::vector<Heard> batches = line.Log("/api/station/records");
    ASSERT_EQ(2u, batches.size());
    EXPECT_EQ(100u, batches[0].body["records"].size());
    EXPECT_EQ((std::vector<int64_t>{150, 50}), WaitingWhenAsked(batches));
    size_t n = 0;
    for (const Heard& b : batches) {
        EXPECT_EQ("Bearer " + kKey, b.authorization);
        EXPECT_EQ(kStation, b.body["station"]);
        for (const Json& r : b.body["records"]) {
            EXPECT_EQ(ids[n], r["record_id"]);
            EXPECT_EQ(static_cast<int64_t>(++n), r["seq"].get<int64_t>());
            EXPECT_EQ(kStation, r["station"]);
        }
    }
    EXPECT_EQ(150u, n);
    LineState state = LineStateOf(sender_);
    EXPECT_TRUE(state.connected);
    EXPECT_EQ("", state.downSince);
    EXPECT_EQ("", state.oldestWaiting);
    EXPECT_EQ(0, Stop(1000));
    EXPECT_EQ(2u, line.Log("/api/station/records").size());  // nothing sent twice
}

// Beats every 2 s, and one soon after a change, carrying the station's beat.
TEST_F(LineSenderTest, BeatsComeEveryTwoSecondsAndSoonAfterAChange) {
    FakeLine line([](Heard&) { return Reply{}; });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return line.Log("/api/station/beat").size() >= 2; }, 5000));
    std::vector<Heard> beats = line.Log("/api/station/beat");
    EXPECT_EQ(kStation, beats[0].body["station"]);
    EXPECT_EQ(0, beats[0].body["beat"]["n"]);
    EXPECT_LE(Ms(beats[1].at - beats[0].at), 2500);
    beatNumber_ = 7;
    Clock::time_point changed = Clock::now();
    NoteLineChanged(sender_);
    ASSERT_TRUE(
        WaitFor([&] { return line.Log("/api/station/beat").back().body["beat"]["n"] == 7; }));
    EXPECT_LT(Ms(line.Log("/api/station/beat").back().at - changed), 1000);
}

// A database away (503): the wait it asks for is kept, beats go on, and the
// records stay until the batch is taken.
TEST_F(LineSenderTest, ABusyDatabaseIsWaitedForThenTakesTheBatch) {
    Spool(3);
    int refusals = 3;
    FakeLine line([&](Heard& h) {
        if (IsBatch(h) && refusals-- > 0) return Reply{503, "database unavailable", 1};
        return Reply{};
    });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return !LineStateOf(sender_).downSince.empty(); }));
    EXPECT_EQ(3, LineStateOf(sender_).waiting);
    std::string reason = LineStateOf(sender_).reason;
    EXPECT_NE(std::string::npos, reason.find("503: database unavailable")) << reason;
    ASSERT_TRUE(WaitFor([&] { return Delivered(); }));
    std::vector<Heard> batches = line.Log("/api/station/records");
    ASSERT_EQ(4u, batches.size());
    for (size_t i = 1; i < batches.size(); ++i)
        EXPECT_GE(Ms(batches[i].at - batches[i - 1].at), 950) << i;
    int beatsMeanwhile = 0;
    for (const Heard& b : line.Log("/api/station/beat"))
        beatsMeanwhile += b.at > batches.front().at && b.at < batches.back().at;
    EXPECT_GE(beatsMeanwhile, 1);
    EXPECT_EQ(3u, line.Stored());
    EXPECT_EQ("", LineStateOf(sender_).downSince);
}

// A refused key: every record stays, the line's reason is shown, and the
// line is asked again only now and then.
TEST_F(LineSenderTest, ARefusedStationKeepsItsRecordsAndSaysWhy) {
    Spool(4);
    FakeLine line([](Heard&) { return Reply{401, "unknown station or key\n"}; });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return LineStateOf(sender_).refused; }));
    Spool(1);  // counted while refused, not sent
    ASSERT_TRUE(WaitFor([&] { return LineStateOf(sender_).waiting == 5; }));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    LineState state = LineStateOf(sender_);
    EXPECT_EQ("unknown station or key", state.reason);
    EXPECT_FALSE(state.connected);
    EXPECT_FALSE(state.oldestWaiting.empty());
    EXPECT_EQ(1u, line.Log("/api/station/records").size());
    // No first beat when the batch's refusal came back before it went: the next is 30 s off.
    EXPECT_LE(line.Log("/api/station/beat").size(), 1u);
    EXPECT_EQ(5, Stop(0));
}

// A malformed batch (400) is kept and said, not dropped.
TEST_F(LineSenderTest, ARefusedBatchStaysInTheSpool) {
    Spool(2);
    FakeLine line([](Heard& h) {
        return IsBatch(h) ? Reply{400, "a record of another station"} : Reply{};
    });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return LineStateOf(sender_).rejected; }));
    LineState state = LineStateOf(sender_);
    EXPECT_EQ("the line answered 400: a record of another station", state.reason);
    EXPECT_EQ(2, Stop(0));
}

// A batch the line took but whose answer was lost is sent again, the same,
// and marked once it is answered.
TEST_F(LineSenderTest, ABatchWhoseAnswerWasLostIsSentAgainAndMarkedOnce) {
    Spool(5);
    int drops = 1;
    FakeLine line([&](Heard& h) {
        Reply taken;
        if (!IsBatch(h)) return taken;
        h.waiting = WaitingCount(spool_);
        taken.drop = drops-- > 0;  // committed, then the connection broke
        return taken;
    });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return Delivered(); }));
    std::vector<Heard> batches = line.Log("/api/station/records");
    ASSERT_EQ(2u, batches.size());
    EXPECT_EQ(batches[0].body, batches[1].body);
    EXPECT_EQ((std::vector<int64_t>{5, 5}), WaitingWhenAsked(batches));
    EXPECT_EQ(5u, line.Stored());
    std::vector<SpooledRecord> left;
    std::string why;
    ASSERT_TRUE(PendingRecords(spool_, 10, left, why)) << why;
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(0, Stop(1000));
    EXPECT_EQ(2u, line.Log("/api/station/records").size());
}

// A server that takes the connection and never answers: the records stay,
// and stopping does not wait for the request's own time-out.
TEST_F(LineSenderTest, AStalledServerHoldsUpNeitherTheRecordsNorStopping) {
    Spool(2);
    FakeLine line([](Heard&) {
        Reply r;
        r.stall = true;
        return r;
    });
    Start(line.Url());
    ASSERT_TRUE(WaitFor([&] { return !line.Log("/api/station/records").empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(2, WaitingCount(spool_));
    Clock::time_point stopping = Clock::now();
    EXPECT_EQ(2, Stop(600));
    EXPECT_LT(Ms(Clock::now() - stopping), 1000);
}

// A line that drops every connection, then nothing listening: down since the
// first attempt, and the attempts back off rather than hammer.
TEST_F(LineSenderTest, AnUnreachableLineIsTriedLessAndLessOften) {
    Spool(1);
    {
        FakeLine line([](Heard&) {
            Reply r;
            r.drop = true;
            r.status = 503;
            return r;
        });
        Start(line.Url());
        std::this_thread::sleep_for(std::chrono::milliseconds(3200));
        // 0, 0.5, 1.5 s and perhaps 3.5 s: the waits double.
        size_t attempts = line.Log("/api/station/records").size();
        EXPECT_GE(attempts, 2u);
        EXPECT_LE(attempts, 4u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    LineState state = LineStateOf(sender_);
    EXPECT_FALSE(state.connected);
    ASSERT_FALSE(state.downSince.empty());
    EXPECT_EQ('Z', state.downSince.back());
    Clock::time_point stopping = Clock::now();
    EXPECT_EQ(1, Stop(500));
    EXPECT_LT(Ms(Clock::now() - stopping), 1000);
}
