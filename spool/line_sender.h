// Delivers a station's spooled records to the line server, oldest first, and
// keeps the line told of the station with beats (docs/line.md), on two
// threads of its own, each with its own connection: a slow batch does not
// hold up the beats. A record leaves the spool only after the server
// answered 200; a line that cannot be reached, a database that is away or a
// refusal keeps every record, to be tried again.
#pragma once
#include <functional>
#include <string>

#include "spool/line_state.h"
#include "spool/record_spool.h"

struct LineSender;

struct LineSenderSetup {
    std::string url;               // http://HOST:PORT, a path after it if the server has one
    std::string station;           // its name on the line
    std::string key;               // 64 hex digits
    RecordSpool* spool = nullptr;  // open, and open until the sender is stopped
    // The station's beat, as JSON text; called on the sender's threads.
    std::function<std::string()> beat;
    // The line's state changed; called on the sender's threads.
    std::function<void()> changed;
};

// Starts the threads; nullptr, with the reason, for an address that is not
// plain http:// or a setup that lacks its spool, name, key or beat.
LineSender* StartLineSender(const LineSenderSetup& setup, std::string& why);

// A record was spooled: it is sent at once unless the line asked to wait.
void NoteRecordSpooled(LineSender* sender);
// The station changed: a beat goes within 200 ms.
void NoteLineChanged(LineSender* sender);
LineState LineStateOf(LineSender* sender);

// Makes one last attempt to deliver the waiting records and to send a beat
// the station changed since, for at most `lastTryMs`; then joins the
// threads and frees the sender. The records left in the spool, or -1.
int64_t StopLineSender(LineSender* sender, int lastTryMs);
