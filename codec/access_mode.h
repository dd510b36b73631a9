// Access mode: fixed once at start-up from the optional command-line word.
#pragma once

enum AccessLevel { EndUser, Reseller, Override };

extern AccessLevel AccessMode;

// The mode an access word selects: exact, case-sensitive comparison.
AccessLevel ParseAccessWord(const char* word);

// Start-up rule: exactly one argument after the program name is compared.
AccessLevel SelectAccessMode(int argc, const char* const* argv);
