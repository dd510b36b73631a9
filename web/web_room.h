// The one HTTP layer of our pages (the station's; the line's): a page and its
// files, a state sent as server-sent events, and the page's own requests.
// One thread of its own with asynchronous I/O, so that no client, slow,
// stalled or hostile, holds up anything else; what it sends is built when
// something changed, the newest state replacing one a client has not yet
// taken.
//
// Nobody else drives it: every request needs a token (in the opened address
// once, then in a strict HTTP-only cookie); a Host that is neither the
// listening address, localhost nor a name it was given is refused, and a
// request that changes anything must come from the page's own origin. A
// second token, for a supervisor's screen, may only look.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "web/page_files.h"

enum class WebRole { None, ReadOnly, Full };

struct WebRequest {
    bool post = false;          // else GET
    std::string path;           // without the query
    std::string query;          // after the "?", as sent
    std::string body;           // of a POST
    std::string authorization;  // the header, as sent: a keyed path's credentials
    WebRole role = WebRole::None;
};

struct WebReply {
    int status = 200;  // an HTTP status
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::string download;  // a file name: the body is sent as that attachment
    int retryAfter = 0;    // seconds, for a 503; 0: none
};

// How a slow route answers, from any thread, once.
using WebAnswer = std::function<void(const WebReply& reply)>;

struct WebRoomSetup {
    std::string name;                    // "station": in the cookie's name and in refusals
    std::string address = "127.0.0.1";   // where to listen
    unsigned short port = 0;             // 0: any free port
    std::vector<std::string> hostNames;  // more names clients reach it by
    std::string token, readOnlyToken;    // readOnlyToken empty: none
    size_t bodyLimit = 4096;             // a POST's body, at most; a page sends little
    size_t mostConnections = 64;         // open at once; the oldest idle one makes way
    // Paths under keyPrefix are for programs that carry a key of their own
    // (Authorization), not for pages: no token, cookie or Origin is asked
    // for, and only slowRoute answers them.
    std::string keyPrefix;
    // The state /events sends, whole, as JSON.
    std::function<std::string(bool readOnly)> state;
    // A GET other than a page file or /events, or a POST from the page itself
    // with the full token; false when no such path.
    std::function<bool(const WebRequest& request, WebReply& reply)> route;
    // Like route, for answers that wait on something (a database): the room
    // goes on serving others meanwhile; false when no such path.
    std::function<bool(const WebRequest& request, const WebAnswer& answer)> slowRoute;
    // The page's files; nullptr: none.
    const PageFile* (*findPage)(const std::string& path) = nullptr;
};

// Listens and serves on a thread of its own; false with the reason.
bool StartWebRoom(const WebRoomSetup& setup, std::string& why);
// The port it listens on.
unsigned short WebRoomPort();
// The state changed: clients get it at their next turn (a few times a second).
void NoteWebRoomChanged();
// Sends every page the last state, closes every connection and joins the thread.
void StopWebRoom();

// The value of `name` in a query ("a=1&lot=L%2D7"), percent-decoded; false
// when it has none or a malformed one.
bool WebQueryValue(const std::string& query, const std::string& name, std::string& value);

// A random token of 32 hex digits.
std::string NewWebToken();
