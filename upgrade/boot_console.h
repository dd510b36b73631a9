// Boot console exchange: waking the boot loader, echo-checked commands, replies.
#pragma once

enum { ReplyBufferSize = 256, BootPromptLength = 7, CommandCapacity = 32 };

extern const unsigned char BootPrompt[BootPromptLength];  // "\r\nBoot>"
extern const unsigned char SuccessMark[3];                // "^_^"

typedef unsigned char ReplyBuffer[ReplyBufferSize];

// Writes the command one byte at a time, each echo checked within 100. No "\r".
bool SendBootCommand(const unsigned char* command, int length);
bool SendBootCommand(const char* command);

// Writes a lone "\r"; true when the first 7 bytes are exactly the prompt.
bool WakeConsole(int budget);

// Executes the typed command with "\r" and collects up to 256 reply bytes.
int CollectReply(int budget, ReplyBuffer reply);

// Reads and discards until one budget of silence or 256 bytes.
void DrainConsole(int budget);

bool ReplyEndsWithPrompt(const unsigned char* reply, int n);
bool ReplyHasPrompt(const unsigned char* reply, int n);
bool ReplyHasSuccessMark(const unsigned char* reply, int n);

// Writes the carriage return that executes a command, as a write of its own.
void WriteExecute();
