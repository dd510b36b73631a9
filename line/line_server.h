// The line server: stations deliver their records and beats here, with
// their keys; the supervisor's read-only page watches every station. Only
// this server writes the database, through its workers; the web room serves
// pages and stations on a thread of its own.
#pragma once
#include <string>
#include <vector>

struct LineServerSetup {
    std::string conninfo;                // libpq's
    std::string address = "127.0.0.1";   // where to listen
    unsigned short port = 0;             // 0: any free port
    std::vector<std::string> hostNames;  // more names stations and browsers reach it by
    std::string viewToken;               // the supervisor page's
    int workers = 4;                     // database connections at once
};

// Listens and serves on threads of its own; false with the reason.
bool StartLineServer(const LineServerSetup& setup, std::string& why);
unsigned short LineServerPort();
// Answers what is under way, then closes every connection.
void StopLineServer();

// A station is OFFLINE after three beats missed: a beat comes every 2 s.
enum { LineBeatMs = 2000, LineOfflineMs = 3 * LineBeatMs + 500 };
// Records in one delivery, at most.
enum { LineMostBatch = 200 };
