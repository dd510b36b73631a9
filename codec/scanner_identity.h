// The scanner's scrambled identity reply to "whoru" and the override question.
#pragma once

struct ScannerIdentity {
    char customerId[48 + 1];
    char moduleNo[16 + 1];
    char hardware[32 + 1];
    char software[16 + 1];
};

extern ScannerIdentity ScannerId;

// Verifies the reply (without its closing prompt) and fills ScannerId.
bool DecodeScannerIdentity(const unsigned char* reply, int length);

// Asks the user whether to go on despite `reason`; only ever true in Override mode.
bool ConfirmOverride(const char* reason);

// The front end's Yes/No question; nullptr answers No.
typedef bool (*OverrideQuestion)(const char* caption, const char* text);
void SetOverrideQuestion(OverrideQuestion ask);
