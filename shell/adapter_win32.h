// What Windows tells of a COM port's adapter beyond the port map.
#pragma once
#include "shell/port_details.h"

// The kind of driver, from the map's name for the port ("\Device\VCP0"), and
// for an FTDI adapter its latency timer and the registry key that holds it.
void AddAdapterDetails(PortDetails& details, const char* mapName);
