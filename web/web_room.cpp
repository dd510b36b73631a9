#include "web/web_room.h"

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// A request is small: the page asks for little and sends less.
enum { HeaderLimit = 8192, TickMs = 250 };
constexpr auto kReadTimeout = std::chrono::seconds(15);
constexpr auto kWriteTimeout = std::chrono::seconds(30);

class Session;
class EventStream;

struct Server {
    net::io_context io{1};
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> tick;
    std::thread thread;
    WebRoomSetup setup;
    unsigned short port = 0;
    std::atomic<bool> changed{true};
    std::set<std::shared_ptr<EventStream>> streams;  // on the server's thread only
    std::set<Session*> sessions;                     // likewise
};

Server& TheServer() {
    static Server server;
    return server;
}

// Equal texts, in a time that does not tell how much of them matched.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string CookieName() {
    // Cookies are not kept apart by port: two rooms on one machine must not share one.
    return "orvane_" + TheServer().setup.name + "_" + std::to_string(TheServer().port);
}

std::string CookieToken(const http::request<http::string_body>& req) {
    std::string cookies(req[http::field::cookie]);
    std::string key = CookieName() + "=";
    for (size_t at = 0; at < cookies.size();) {
        size_t end = cookies.find(';', at);
        std::string part =
            cookies.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t start = part.find_first_not_of(' ');
        if (start != std::string::npos && part.compare(start, key.size(), key) == 0)
            return part.substr(start + key.size());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

WebRole RoleOf(const std::string& token) {
    const WebRoomSetup& s = TheServer().setup;
    if (SameSecret(token, s.token)) return WebRole::Full;
    if (!s.readOnlyToken.empty() && SameSecret(token, s.readOnlyToken)) return WebRole::ReadOnly;
    return WebRole::None;
}

// The value of `name` in the target's query; "" when it has none.
std::string QueryValue(const std::string& target, const std::string& name) {
    size_t query = target.find('?');
    std::string value;
    if (query == std::string::npos || !WebQueryValue(target.substr(query + 1), name, value))
        return "";
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%41+b" is "A b"; false at a "%" without two hex digits.
bool PercentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::string QueryToken(const std::string& target) {
    return QueryValue(target, "token");
}

// Home, keeping a language the address asked for: only a plain tag passes.
std::string HomeOf(const std::string& target) {
    std::string lang = QueryValue(target, "lang");
    bool plain = !lang.empty() && lang.size() <= 16;
    for (char c : lang) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '-');
    return plain ? "/?lang=" + lang : "/";
}

std::string PathOf(const std::string& target) {
    return target.substr(0, target.find('?'));
}

std::string QueryOf(const std::string& target) {
    size_t query = target.find('?');
    return query == std::string::npos ? "" : target.substr(query + 1);
}

// The names this server answers to: the address a client reached it at,
// localhost and the names it was given; a page elsewhere cannot reach it
// through a name of its own.
bool HostIsOurs(const std::string& host, const tcp::endpoint& local) {
    std::string port = ":" + std::to_string(TheServer().port);
    net::ip::address reached = local.address();
    if (reached.is_v6() && reached.to_v6().is_v4_mapped())  // a dual-stack socket's IPv4 client
        reached = net::ip::make_address_v4(net::ip::v4_mapped, reached.to_v6());
    std::string address = reached.to_string();
    if (reached.is_v6()) address = "[" + address + "]";
    std::vector<std::string> names = TheServer().setup.hostNames;
    names.insert(names.end(), {address, "localhost", "127.0.0.1", "[::1]"});
    for (const std::string& name : names)
        if (host == name + port) return true;
    return false;
}

using Response = http::response<http::string_body>;

Response Make(http::status status, const std::string& type, std::string body) {
    Response res{status, 11};
    res.set(http::field::server, "orvane-flash " + TheServer().setup.name);
    res.set(http::field::content_type, type);
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "no-referrer");
    res.set("X-Frame-Options", "DENY");
    res.set("Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
            "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

Response Text(http::status status, const std::string& text) {
    return Make(status, "text/plain; charset=utf-8", text + "\n");
}

Response ResponseOf(const WebReply& reply) {
    Response res = Make(static_cast<http::status>(reply.status), reply.type, reply.body);
    if (!reply.download.empty())
        res.set(http::field::content_disposition,
                "attachment; filename=\"" + reply.download + "\"");
    if (reply.retryAfter > 0) res.set(http::field::retry_after, std::to_string(reply.retryAfter));
    return res;
}

// The state's events: the newest replaces one still waiting for a slow client.
class EventStream : public std::enable_shared_from_this<EventStream> {
   public:
    EventStream(beast::tcp_stream&& stream, bool readOnly)
        : stream_(std::move(stream)), readOnly_(readOnly) {}

    bool ReadOnly() const { return readOnly_; }

    void Open(const std::string& state) {
        std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
        Write(head + Message(state));
    }

    void Send(const std::string& state) {
        if (writing_) {
            pending_ = Message(state);
            hasPending_ = true;
            return;
        }
        Write(Message(state));
    }

    void Close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    // The last state, then the end of the stream.
    void Finish(const std::string& state) {
        closing_ = true;
        Send(state);
    }

   private:
    static std::string Message(const std::string& state) {
        return "event: state\ndata: " + state + "\n\n";
    }

    void Write(std::string text) {
        writing_ = true;
        out_ = std::move(text);
        stream_.expires_after(kWriteTimeout);
        auto self = shared_from_this();
        net::async_write(stream_, net::buffer(out_),
                         [self](beast::error_code ec, size_t) { self->Written(ec); });
    }

    void Written(beast::error_code ec) {
        writing_ = false;
        if (ec) {
            TheServer().streams.erase(shared_from_this());
            return Close();
        }
        if (hasPending_) {
            hasPending_ = false;
            return Write(std::move(pending_));
        }
        if (closing_) Close();
    }

    beast::tcp_stream stream_;
    bool readOnly_;
    bool writing_ = false, hasPending_ = false, closing_ = false;
    std::string out_, pending_;
};

class Session : public std::enable_shared_from_this<Session> {
   public:
    explicit Session(tcp::socket&& socket)
        : stream_(std::move(socket)), born_(std::chrono::steady_clock::now()) {
        TheServer().sessions.insert(this);
    }

    std::chrono::steady_clock::time_point Born() const { return born_; }
    // False once closed or handed to a stream of states, though its handlers
    // may still hold it for a moment.
    bool Open() const { return open_; }
    ~Session() { TheServer().sessions.erase(this); }

    void Start() { Read(); }
    void Close() {
        if (!open_) return;  // a stream handed on is no longer this session's to close
        open_ = false;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

   private:
    void Read() {
        parser_.emplace();
        parser_->header_limit(HeaderLimit);
        parser_->body_limit(TheServer().setup.bodyLimit);
        stream_.expires_after(kReadTimeout);
        auto self = shared_from_this();
        http::async_read(stream_, buffer_, *parser_,
                         [self](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset)
            return Close();
        if (ec == http::error::body_limit)
            return Send(Text(http::status::payload_too_large, "the body is too large"), false);
        if (ec) return Send(Text(http::status::bad_request, "bad request"), false);
        Handle(parser_->release());
    }

    void Send(Response res, bool keepAlive) {
        res.keep_alive(keepAlive);
        auto shared = std::make_shared<Response>(std::move(res));
        stream_.expires_after(kWriteTimeout);
        auto self = shared_from_this();
        http::async_write(stream_, *shared,
                          [self, shared, keepAlive](beast::error_code ec, size_t) {
                              if (ec || !keepAlive) return self->Close();
                              self->Read();
                          });
    }

    void Refuse(http::status status, const std::string& why) { Send(Text(status, why), false); }

    void Handle(http::request<http::string_body> req);
    void Route(const http::request<http::string_body>& req, WebRole role);
    void Answer(const WebRequest& request, bool keepAlive);
    bool AnswerLater(const WebRequest& request, bool keepAlive);
    void Keyed(const http::request<http::string_body>& req);
    void OpenEvents(WebRole role);
    void Page(const std::string& path);
    void SetCookieAndGoHome(const std::string& token, const std::string& home);

    beast::tcp_stream stream_;
    std::chrono::steady_clock::time_point born_;
    bool open_ = true;
    beast::flat_buffer buffer_{HeaderLimit + TheServer().setup.bodyLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
};

void Session::Handle(http::request<http::string_body> req) {
    if (req.method() != http::verb::get && req.method() != http::verb::post)
        return Refuse(http::status::method_not_allowed, "only GET and POST");
    beast::error_code ec;
    tcp::endpoint local = stream_.socket().local_endpoint(ec);
    if (ec || !HostIsOurs(std::string(req[http::field::host]), local))
        return Refuse(http::status::forbidden, "this server answers to its own address only");
    std::string target(req.target());
    const std::string& keyPrefix = TheServer().setup.keyPrefix;
    if (!keyPrefix.empty() && PathOf(target).compare(0, keyPrefix.size(), keyPrefix) == 0)
        return Keyed(req);
    std::string token = CookieToken(req);
    if (req.method() == http::verb::get && PathOf(target) == "/" && !QueryToken(target).empty())
        token = QueryToken(target);
    WebRole role = RoleOf(token);
    if (role == WebRole::None)
        return Refuse(http::status::forbidden, "no valid token: open the address the " +
                                                   TheServer().setup.name + " printed");
    if (req.method() == http::verb::get && PathOf(target) == "/" && !QueryToken(target).empty())
        return SetCookieAndGoHome(token, HomeOf(target));
    Route(req, role);
}

// The token leaves the address bar: from now on the cookie carries it.
void Session::SetCookieAndGoHome(const std::string& token, const std::string& home) {
    Response res = Text(http::status::see_other, "see " + home);
    res.set(http::field::location, home);
    res.set(http::field::set_cookie,
            CookieName() + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    Send(std::move(res), false);
}

void Session::Route(const http::request<http::string_body>& req, WebRole role) {
    WebRequest request;
    request.post = req.method() == http::verb::post;
    std::string target(req.target());
    request.path = PathOf(target);
    request.query = QueryOf(target);
    request.role = role;
    if (request.post) {
        // Only the page itself may change anything: a form or script on another
        // origin sends its own Origin, or says it is not the same site.
        std::string origin(req[http::field::origin]);
        std::string site(req["Sec-Fetch-Site"]);
        if (origin != "http://" + std::string(req[http::field::host]) ||
            (!site.empty() && site != "same-origin"))
            return Refuse(http::status::forbidden,
                          "only the " + TheServer().setup.name + "'s own page may do that");
        if (role != WebRole::Full) return Refuse(http::status::forbidden, "this view is read-only");
        request.body = req.body();
    }
    if (!request.post && request.path == "/events") return OpenEvents(role);
    Answer(request, req.keep_alive());
}

void Session::Answer(const WebRequest& request, bool keepAlive) {
    const WebRoomSetup& s = TheServer().setup;
    WebReply reply;
    if (s.route && s.route(request, reply))
        return Send(ResponseOf(reply), keepAlive && !request.post && reply.status < 400);
    if (AnswerLater(request, keepAlive && !request.post)) return;
    if (request.post) return Refuse(http::status::not_found, "no such action");
    const std::string& path = request.path;
    const PageFile* file = s.findPage ? s.findPage(path == "/" ? "/index.html" : path) : nullptr;
    if (!file) return Refuse(http::status::not_found, "no such page");
    std::string type = file->type;
    if (type.compare(0, 5, "text/") == 0) type += "; charset=utf-8";
    Send(Make(http::status::ok, type, std::string(file->bytes, file->size)), keepAlive);
}

// A program with a key of its own: the route checks it. Nothing is read from
// this connection until the answer has been sent.
void Session::Keyed(const http::request<http::string_body>& req) {
    WebRequest request;
    request.post = req.method() == http::verb::post;
    std::string target(req.target());
    request.path = PathOf(target);
    request.query = QueryOf(target);
    request.body = req.body();
    request.authorization = std::string(req[http::field::authorization]);
    if (!AnswerLater(request, req.keep_alive())) Refuse(http::status::not_found, "no such path");
}

// The answer comes back to the room's thread, whichever thread gives it.
bool Session::AnswerLater(const WebRequest& request, bool keepAlive) {
    const WebRoomSetup& s = TheServer().setup;
    if (!s.slowRoute) return false;
    // The answer hands the session on to the room's thread, keeping nothing
    // of it: a session must end on the room's thread, never on the one that
    // answered.
    struct Waiting {
        std::mutex lock;
        std::shared_ptr<Session> session;
    };
    auto waiting = std::make_shared<Waiting>();
    waiting->session = shared_from_this();
    WebAnswer answer = [waiting, keepAlive](const WebReply& reply) {
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> guard(waiting->lock);
            session.swap(waiting->session);
        }
        if (!session) return;  // answered before
        net::post(TheServer().io, [session = std::move(session), reply, keepAlive] {
            if (session->Open()) session->Send(ResponseOf(reply), keepAlive && reply.status < 400);
        });
    };
    return s.slowRoute(request, answer);
}

// The connection becomes a stream of states, with the whole state at once.
void Session::OpenEvents(WebRole role) {
    Server& s = TheServer();
    bool readOnly = role == WebRole::ReadOnly;
    open_ = false;
    auto events = std::make_shared<EventStream>(std::move(stream_), readOnly);
    s.streams.insert(events);
    events->Open(s.setup.state(readOnly));
}

void Accept();

// Connections that hold a socket: a session closed already counts no more,
// or a burst of new ones would all close the same one.
size_t OpenConnections() {
    Server& s = TheServer();
    size_t open = s.streams.size();
    for (Session* session : s.sessions) open += session->Open() ? 1 : 0;
    return open;
}

// At the limit the oldest connection that is not a page's stream of states
// makes way: connections held open and idle cannot shut the page out.
bool MakeRoom() {
    Session* oldest = nullptr;
    for (Session* session : TheServer().sessions)
        if (session->Open() && (!oldest || session->Born() < oldest->Born())) oldest = session;
    if (!oldest) return false;
    oldest->Close();
    return true;
}

void OnAccept(beast::error_code ec, tcp::socket socket) {
    Server& s = TheServer();
    if (ec == net::error::operation_aborted || !s.acceptor || !s.acceptor->is_open()) return;
    if (!ec) {
        if (OpenConnections() >= s.setup.mostConnections && !MakeRoom()) {
            beast::error_code ignored;
            socket.close(ignored);  // a flood of streams is turned away, never queued
        } else {
            std::make_shared<Session>(std::move(socket))->Start();
        }
    }
    Accept();
}

void Accept() {
    TheServer().acceptor->async_accept(net::make_strand(TheServer().io), OnAccept);
}

// A few times a second: every stream gets the newest state, if it changed.
void Tick() {
    Server& s = TheServer();
    s.tick->expires_after(std::chrono::milliseconds(TickMs));
    s.tick->async_wait([](beast::error_code ec) {
        if (ec) return;
        Server& s = TheServer();
        if (s.changed.exchange(false) && !s.streams.empty()) {
            std::string full = s.setup.state(false), looking;
            for (const auto& stream : s.streams) {
                if (stream->ReadOnly() && looking.empty()) looking = s.setup.state(true);
                stream->Send(stream->ReadOnly() ? looking : full);
            }
        }
        Tick();
    });
}

bool Listen(const WebRoomSetup& setup, std::string& why) {
    Server& s = TheServer();
    beast::error_code ec;
    net::ip::address address = net::ip::make_address(setup.address, ec);
    if (ec) {
        why = "'" + setup.address + "' is no address to listen on";
        return false;
    }
    tcp::endpoint endpoint(address, setup.port);
    s.acceptor = std::make_unique<tcp::acceptor>(s.io);
    s.acceptor->open(endpoint.protocol(), ec);
    if (!ec) s.acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor->bind(endpoint, ec);
    if (!ec) s.acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        why = "cannot listen on " + setup.address + ":" + std::to_string(setup.port) + ": " +
              ec.message();
        s.acceptor.reset();
        return false;
    }
    s.port = s.acceptor->local_endpoint().port();
    return true;
}

}  // namespace

bool StartWebRoom(const WebRoomSetup& setup, std::string& why) {
    Server& s = TheServer();
    s.setup = setup;
    if (!Listen(setup, why)) return false;
    s.tick = std::make_unique<net::steady_timer>(s.io);
    Accept();
    Tick();
    s.thread = std::thread([] {
        // A handler that throws loses its own connection, never the program.
        for (bool done = false; !done;) {
            try {
                TheServer().io.run();
                done = true;
            } catch (const std::exception&) {
            }
        }
        // Handlers still queued let go of their sessions here, on this thread.
        TheServer().io.restart();
        TheServer().io.poll();
    });
    return true;
}

unsigned short WebRoomPort() {
    return TheServer().port;
}

void NoteWebRoomChanged() {
    TheServer().changed = true;
}

void StopWebRoom() {
    Server& s = TheServer();
    if (!s.thread.joinable()) return;
    net::post(s.io, [] {
        Server& s = TheServer();
        beast::error_code ignored;
        s.acceptor->close(ignored);
        s.tick->cancel();
        std::string full = s.setup.state(false), looking = s.setup.state(true);
        for (const auto& stream : s.streams) stream->Finish(stream->ReadOnly() ? looking : full);
        s.streams.clear();
        for (Session* session : std::set<Session*>(s.sessions)) session->Close();
        // What is left ends with its sockets closed; the guard stops the rest.
        s.tick->expires_after(std::chrono::seconds(2));
        s.tick->async_wait([](beast::error_code) { TheServer().io.stop(); });
    });
    s.thread.join();
    s.acceptor.reset();
}

bool WebQueryValue(const std::string& query, const std::string& name, std::string& value) {
    for (size_t at = 0; at <= query.size();) {
        size_t end = std::min(query.find('&', at), query.size());
        if (query.compare(at, name.size() + 1, name + "=") == 0)
            return PercentDecode(query.substr(at + name.size() + 1, end - at - name.size() - 1),
                                 value);
        at = end + 1;
    }
    return false;
}

std::string NewWebToken() {
    std::random_device random;
    std::string token;
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
        token += hex;
    }
    return token;
}
