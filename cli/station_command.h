// orvane-flash station: every port in production mode, shown in a browser
// page served on the loopback address beside the terminal's rows, with the
// run's records kept with the operator, the lot and the image's SHA-256.
#pragma once
#include "cli/options.h"

int RunStation(FlashOptions options);
