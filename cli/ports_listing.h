// orvane-flash ports: every serial port with what the system tells of it.
#pragma once

int ListPorts();
