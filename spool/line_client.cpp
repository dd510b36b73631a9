// The line's HTTP client on Boost's Beast. Each step is an asynchronous
// operation run on the caller's own thread in short slices, so that the
// step's deadline and the caller's cutoff are both looked at every tick; a
// step that runs out closes the socket, which ends the operation.
#include "spool/line_client.h"

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct LineConnection {
    LineAddress address;
    std::function<LineClock::time_point()> cutoff;
    net::io_context io{1};
    tcp::socket socket{io};
    beast::flat_buffer buffer;
    bool open = false;
    bool broke = false;  // the last request's connection failed, not its time
};

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(3);
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kTick = std::chrono::milliseconds(20);
// The server's answers are a line of JSON or of text.
enum { MostAnswerBytes = 1 << 16, MostPort = 65535 };

bool Refuse(const std::string& url, const std::string& what, std::string& why) {
    why = "the line's address " + url + " " + what;
    return false;
}

bool StartsWith(const std::string& text, const char* start) {
    size_t n = std::char_traits<char>::length(start);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != start[i]) return false;
    return true;
}

bool TakePort(const std::string& text, std::string& port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    int number = std::stoi(text);
    port = std::to_string(number);
    return number > 0 && number <= MostPort;
}

// "host", "host:port", "[v6]" or "[v6]:port".
bool TakeAuthority(const std::string& authority, LineAddress& a) {
    std::string after;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        a.host = authority.substr(1, close - 1);
        after = authority.substr(close + 1);
    } else {
        size_t colon = authority.find(':');
        if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos)
            return false;  // a bare IPv6 address: its port could not be told apart
        a.host = authority.substr(0, colon);
        if (colon != std::string::npos) after = authority.substr(colon);
    }
    if (a.host.empty()) return false;
    if (after.empty()) return true;
    return after[0] == ':' && TakePort(after.substr(1), a.port);
}

}  // namespace

bool ParseLineUrl(const std::string& url, LineAddress& a, std::string& why) {
    if (StartsWith(url, "https://"))
        return Refuse(url,
                      "is https: a station speaks plain http to the line for now (a TLS "
                      "proxy on the server's side takes https)",
                      why);
    if (!StartsWith(url, "http://")) return Refuse(url, "is not http://HOST:PORT", why);
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F || c == '?' || c == '#')
            return Refuse(url, "holds a space, a control character, a query or a fragment", why);
    std::string rest = url.substr(7);
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (authority.find('@') != std::string::npos)
        return Refuse(url, "names a user: the station's key is its only credential", why);
    LineAddress parsed;
    parsed.port = "80";
    if (!TakeAuthority(authority, parsed))
        return Refuse(url, "is not http://HOST:PORT (a port of 1 to 65535, an IPv6 host in [])",
                      why);
    parsed.prefix = slash == std::string::npos ? "" : rest.substr(slash);
    while (!parsed.prefix.empty() && parsed.prefix.back() == '/') parsed.prefix.pop_back();
    a = parsed;
    return true;
}

// Running one operation.
namespace {

// Runs the operation until `done`, its deadline or the caller's cutoff; on
// either of the last two the socket is closed and false returned.
bool Await(LineConnection& c, const bool& done, LineClock::time_point deadline) {
    c.io.restart();
    while (!done) {
        LineClock::time_point now = LineClock::now(), until = std::min(deadline, c.cutoff());
        if (now >= until) {
            beast::error_code ignored;
            c.socket.close(ignored);
            c.io.run();  // the aborted operation's handler
            c.open = false;
            return false;
        }
        c.io.run_for(std::min<LineClock::duration>(until - now, kTick));
    }
    return true;
}

std::string TimedOut(const char* what, LineClock::time_point deadline) {
    if (LineClock::now() < deadline) return "stopped while " + std::string(what);
    return std::string(what) + " took too long";
}

struct Lookup {
    std::mutex lock;
    bool done = false;
    std::vector<tcp::endpoint> endpoints;
    std::string why;
};

// The system's lookup of a name cannot be cancelled: it runs on a thread of
// its own, left to end by itself when the caller stops waiting first.
std::shared_ptr<Lookup> StartLookup(const LineAddress& a) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host = a.host, port = a.port] {
        net::io_context io;
        tcp::resolver resolver(io);
        beast::error_code ec;
        auto results = resolver.resolve(host, port, ec);
        std::lock_guard<std::mutex> guard(lookup->lock);
        for (const auto& r : results) lookup->endpoints.push_back(r.endpoint());
        if (ec) lookup->why = "cannot find the line's host " + host + ": " + ec.message();
        lookup->done = true;
    }).detach();
    return lookup;
}

bool Resolve(LineConnection& c, LineClock::time_point deadline, std::vector<tcp::endpoint>& out,
             std::string& why) {
    beast::error_code ec;
    net::ip::address numeric = net::ip::make_address(c.address.host, ec);
    if (!ec) {
        out = {tcp::endpoint(numeric, static_cast<unsigned short>(std::stoi(c.address.port)))};
        return true;
    }
    std::shared_ptr<Lookup> lookup = StartLookup(c.address);
    while (LineClock::now() < std::min(deadline, c.cutoff())) {
        {
            std::lock_guard<std::mutex> guard(lookup->lock);
            if (lookup->done) {
                out = lookup->endpoints;
                why = lookup->why;
                return !out.empty();
            }
        }
        std::this_thread::sleep_for(kTick);
    }
    why = TimedOut("looking up the line's host", deadline);
    return false;
}

bool Connect(LineConnection& c, std::string& why) {
    LineClock::time_point deadline = LineClock::now() + kConnectTimeout;
    std::vector<tcp::endpoint> endpoints;
    if (!Resolve(c, deadline, endpoints, why)) return false;
    bool done = false;
    beast::error_code ec;
    net::async_connect(c.socket, endpoints, [&](beast::error_code e, const tcp::endpoint&) {
        ec = e;
        done = true;
    });
    if (!Await(c, done, deadline)) {
        why = TimedOut("connecting to the line", deadline);
        return false;
    }
    if (ec) {
        why = "cannot connect to the line at " + c.address.host + ":" + c.address.port + ": " +
              ec.message();
        c.socket.close(ec);
        return false;
    }
    c.buffer.clear();
    c.open = true;
    return true;
}

void Drop(LineConnection& c) {
    beast::error_code ignored;
    c.socket.close(ignored);
    c.open = false;
}

http::request<http::string_body> RequestOf(const LineConnection& c, const std::string& path,
                                           const std::string& authorization,
                                           const std::string& body) {
    http::request<http::string_body> req{http::verb::post, c.address.prefix + path, 11};
    bool v6 = c.address.host.find(':') != std::string::npos;
    req.set(http::field::host,
            (v6 ? "[" + c.address.host + "]" : c.address.host) + ":" + c.address.port);
    req.set(http::field::content_type, "application/json");
    req.set(http::field::authorization, authorization);
    req.keep_alive(true);
    req.body() = body;
    req.prepare_payload();
    return req;
}

int RetryAfter(const http::response<http::string_body>& res) {
    std::string text(res[http::field::retry_after]);
    if (text.empty() || text.size() > 6) return -1;
    for (char ch : text)
        if (ch < '0' || ch > '9') return -1;
    return std::stoi(text);
}

// One request on an open connection.
LineAnswer Exchange(LineConnection& c, const http::request<http::string_body>& req) {
    LineAnswer answer;
    c.broke = false;
    LineClock::time_point deadline = LineClock::now() + kRequestTimeout;
    bool done = false;
    beast::error_code ec;
    auto finished = [&](beast::error_code e, size_t) {
        ec = e;
        done = true;
    };
    http::async_write(c.socket, req, finished);
    if (!Await(c, done, deadline)) {
        answer.why = TimedOut("sending to the line", deadline);
        return answer;
    }
    http::response_parser<http::string_body> parser;
    parser.body_limit(MostAnswerBytes);
    if (!ec) {
        done = false;
        http::async_read(c.socket, c.buffer, parser, finished);
        if (!Await(c, done, deadline)) {
            answer.why = TimedOut("waiting for the line's answer", deadline);
            return answer;
        }
    }
    if (ec) {
        answer.why = "the line's connection broke: " + ec.message();
        c.broke = true;
        Drop(c);
        return answer;
    }
    const http::response<http::string_body>& res = parser.get();
    answer.status = res.result_int();
    answer.body = res.body();
    answer.retryAfter = RetryAfter(res);
    if (!res.keep_alive()) Drop(c);
    return answer;
}

}  // namespace

LineConnection* OpenLineConnection(const LineAddress& address,
                                   std::function<LineClock::time_point()> cutoff) {
    LineConnection* c = new LineConnection;
    c->address = address;
    c->cutoff = std::move(cutoff);
    return c;
}

void CloseLineConnection(LineConnection* c) {
    if (!c) return;
    Drop(*c);
    delete c;
}

LineAnswer PostToLine(LineConnection* c, const std::string& path, const std::string& authorization,
                      const std::string& body) {
    http::request<http::string_body> req = RequestOf(*c, path, authorization, body);
    bool reused = c->open;
    LineAnswer answer;
    if (!c->open && !Connect(*c, answer.why)) return answer;
    answer = Exchange(*c, req);
    // An idle connection the server has closed fails at once; both requests
    // are safe to send twice.
    if (answer.status == 0 && reused && c->broke && Connect(*c, answer.why))
        answer = Exchange(*c, req);
    return answer;
}
