// The lines that follow a failure on the command line: the likely cause and
// the next step, before the result message, which stays the last line.
#pragma once
#include <string>

// After an upgrade that did not succeed, from what the run recorded.
void HintAfterUpgrade(const char* message);

// After "Cannot open this com port": what the entry named and why it failed.
void HintRefusedPort(const std::string& entry);

void HintInvalidFileType();

// Before the run: a word that selects no mode is almost always a typing slip.
void WarnAboutAccessWord(const std::string& word);

// The words after an interrupt: where the scanner was left.
std::string InterruptedMessage();
