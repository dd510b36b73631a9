#include "cli/question.h"

#include "cli/cli_platform.h"
#include "cli/display.h"
#include "codec/scanner_identity.h"

namespace {

const FlashOptions* options = nullptr;

// The question never stays without its line end.
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

}  // namespace

void InstallQuestion(const FlashOptions& o) {
    options = &o;
    SetOverrideQuestion(AskOnTerminal);
}
