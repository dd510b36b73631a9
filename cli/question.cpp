#include "cli/question.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/run_output.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"

namespace {

const FlashOptions* options = nullptr;

// The old and new identities as the question shows them, a line each; the
// terminal shows what the scanner and the image say escaped.
std::vector<std::string> QuestionLines() {
    const char* rows[][3] = {{"Customer ID", ScannerId.customerId, ImageId.customerId},
                             {"Module No", ScannerId.moduleNo, ImageId.moduleNo},
                             {"Hardware", ScannerId.hardware, ImageId.hardware},
                             {"Software", ScannerId.software, ImageId.software}};
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        lines.push_back("Old " + std::string(row[0]) +
                        std::string(12 - std::string(row[0]).size(), ' ') + ": " + row[1]);
        lines.push_back("New " + std::string(row[0]) +
                        std::string(12 - std::string(row[0]).size(), ' ') + ": " + row[2]);
    }
    return lines;
}

// The question never stays without its line end.
bool AskOnTerminal(const char* caption, const char*) {
    ShowQuestion(caption, QuestionLines());
    if (options->yes) {
        ShowAnswerLine("Go on? yes (--yes)");
        return true;
    }
    if (options->child || options->json || !StdinIsConsole()) {
        ShowAnswerLine("Go on? no (no terminal to answer on; --yes answers yes)");
        return false;
    }
    ShowPrompt("Go on? [y/N] ");
    char answer[16] = "";
    if (!ReadAnswer(answer, sizeof answer)) {
        EndAnswer();
        return false;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

}  // namespace

void InstallQuestion(const FlashOptions& o) {
    options = &o;
    SetOverrideQuestion(AskOnTerminal);
}
