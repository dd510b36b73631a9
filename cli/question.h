// The override question on the command line: asked where a person can
// answer, answered by --yes, and otherwise No.
#pragma once
#include "cli/options.h"

void InstallQuestion(const FlashOptions& options);
