// The line server's hands on the database: a few threads, each with a
// connection of its own, taking jobs in turn, so that a slow commit holds up
// only its own request and never the web room.
#pragma once
#include <functional>
#include <string>

#include "line/line_store.h"

// A job runs on a worker with its store: null while the database cannot be
// reached (the job answers "unavailable").
using LineJob = std::function<void(LineStore* store)>;

bool StartLineWorkers(const std::string& conninfo, int count);
// False when too many jobs wait already: the caller answers "busy" at once.
bool QueueLineJob(LineJob job);
// Runs the jobs already queued, then joins the workers.
void StopLineWorkers();

// The database as the workers last found it: reachable, or since when not
// (ISO 8601 UTC, empty while reachable).
bool LineDatabaseReachable(std::string& downSince);
// Now, as ISO 8601 UTC with milliseconds.
std::string LineTimeNow();

// A worker's store call ended so: Unavailable marks the database down.
void NoteLineStoreResult(StoreResult result);
