#include "cli/view.h"

#include <cstdio>

#include "cli/cli_platform.h"
#include "cli/display.h"
#include "shell/main_dialog.h"

namespace {

const FlashOptions* options = nullptr;
std::string portEntry;

void IgnoreFace(bool) {}
void IgnoreFontBox(bool) {}
bool FontBoxTicked() {
    return options->fontBox;
}
void IgnoreName(const char*) {}
void ReadPortEntry(char* text, int capacity) {
    std::snprintf(text, capacity, "%s", portEntry.c_str());
}
void IgnorePortName(const char*) {}
void SelectNothing() {}

bool ChooseImageArgument(const char*, const char*, char* path, int pathCapacity, char* name,
                         int nameCapacity) {
    const std::string& image = options->image;
    if (image.empty() || std::snprintf(path, pathCapacity, "%s", image.c_str()) >= pathCapacity)
        return false;
    size_t slash = image.find_last_of("/\\");
    std::snprintf(name, nameCapacity, "%s",
                  image.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    return true;
}

// Yes with --yes, the user's answer where a person can give one, otherwise
// No; the question never stays without its line end.
bool AskOnTerminal(const char* caption, const char* text) {
    DisplayQuestion(caption, text);
    if (options->yes) {
        DisplayLine("Go on? yes (--yes)", true);
        return true;
    }
    if (options->child || !StdinIsConsole()) {
        DisplayLine("Go on? no (no terminal to answer on; --yes answers yes)", true);
        return false;
    }
    DisplayPrompt("Go on? [y/N] ");
    char answer[16] = "";
    if (!ReadAnswer(answer, sizeof answer)) {
        DisplayAnswerEnded();
        return false;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

void RunHere(void (*task)(void*), void* arg) {
    task(arg);
}
bool RunWorkerToTheEnd(void (*body)()) {
    body();
    return true;
}

const DialogView cliView = {{DisplayStatusLine, DisplayRange, DisplayPosition, DisplayNote},
                            IgnoreFace,
                            IgnoreFontBox,
                            FontBoxTicked,
                            IgnoreName,
                            ReadPortEntry,
                            IgnorePortName,
                            SelectNothing,
                            ChooseImageArgument,
                            AskOnTerminal,
                            RunHere,
                            RunWorkerToTheEnd};

}  // namespace

void InstallCliView(const FlashOptions& o) {
    options = &o;
    SetDialogView(&cliView);
}

void SetPortEntry(const std::string& entry) {
    portEntry = entry;
}
