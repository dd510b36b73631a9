// The child processes of a several-ports run: one per port, each running the
// same single-port upgrade. Its standard error comes back in lines (its
// events), its standard input carries the parent's requests, its standard
// output goes nowhere.
#pragma once
#include <string>
#include <vector>

// The path of this program, to start one child per port.
std::string ProgramPath();

struct Child;
// A process group of its own: the terminal's Ctrl-C reaches the parent only,
// which passes it on. nullptr when it cannot be started.
Child* StartChild(const std::string& program, const std::vector<std::string>& args);
// The next line, without its line end; false once the child closed its standard error.
bool ReadChildLine(Child* child, std::string& line);
void SendToChild(Child* child, char request);
// Waits for the child's end and frees it; its exit status.
int FinishChild(Child* child);
