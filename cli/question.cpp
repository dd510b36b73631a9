#include "cli/question.h"

#include <string>

#include "cli/cli_platform.h"
#include "cli/display.h"
#include "cli/terminal_text.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"

namespace {

const FlashOptions* options = nullptr;

// The old and new identities as the question shows them, each text from the
// scanner or the image escaped: a line of its own can only be ours.
std::string QuestionText() {
    const char* rows[][3] = {{"Customer ID", ScannerId.customerId, ImageId.customerId},
                             {"Module No", ScannerId.moduleNo, ImageId.moduleNo},
                             {"Hardware", ScannerId.hardware, ImageId.hardware},
                             {"Software", ScannerId.software, ImageId.software}};
    std::string text;
    for (const auto& row : rows) {
        text += std::string(text.empty() ? "" : "\n") + "Old " + row[0] +
                "\t: " + TerminalText(row[1]) + "\nNew " + row[0] + "\t: " + TerminalText(row[2]);
    }
    return text;
}

// The question never stays without its line end.
bool AskOnTerminal(const char* caption, const char*) {
    DisplayQuestion(caption, QuestionText().c_str());
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
