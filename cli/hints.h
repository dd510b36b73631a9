// The lines that follow a failure on the command line: the likely cause and
// the next step, before the result message, which stays the last line.
#pragma once
#include <string>

// After an attempt at an upgrade, from its outcome and what the run recorded;
// `entry` is the port as resolved, for a port that did not open.
void HintAfterAttempt(const std::string& entry);

// After a port that did not open: what the entry named and why it failed.
void HintRefusedPort(const std::string& entry);

// Before the run: a word that selects no mode is almost always a typing slip.
void WarnAboutAccessWord(const std::string& word);
