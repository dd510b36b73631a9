// A plain-HTTP connection to the line server, kept open between requests.
// Every step has its deadline (connecting 3 s, a request 10 s), and a caller
// that is being stopped gives up within a tick: nothing here ever waits on
// the network for longer than that.
#pragma once
#include <chrono>
#include <functional>
#include <string>

// http://HOST[:PORT][/PREFIX] taken apart.
struct LineAddress {
    std::string host;    // a name, an IPv4 address, or an IPv6 one without brackets
    std::string port;    // "80" when the address names none
    std::string prefix;  // "" or "/path", without a trailing slash
};

// False, with the reason, for anything but a plain http:// address.
bool ParseLineUrl(const std::string& url, LineAddress& address, std::string& why);

struct LineAnswer {
    int status = 0;  // 0: no answer; `why` says what happened
    std::string body;
    int retryAfter = -1;  // seconds, -1 when not given
    std::string why;
};

using LineClock = std::chrono::steady_clock;

struct LineConnection;

// `cutoff` is asked every tick for the time by which the caller must be
// done, whatever the step's own deadline.
LineConnection* OpenLineConnection(const LineAddress& address,
                                   std::function<LineClock::time_point()> cutoff);
void CloseLineConnection(LineConnection* connection);

// POSTs a JSON body to the address's prefix + `path`. A kept connection the
// server closed meanwhile is opened again once.
LineAnswer PostToLine(LineConnection* connection, const std::string& path,
                      const std::string& authorization, const std::string& body);
