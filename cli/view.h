// The command line as the dialog logic's view: the image argument stands in
// for the file chooser, the port argument for the port entry, standard error
// for the status line and the bar.
#pragma once
#include <string>

#include "cli/options.h"

void InstallCliView(const FlashOptions& options);

// What the port entry holds for the next Upgrade command.
void SetPortEntry(const std::string& entry);
