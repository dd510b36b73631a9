// The calls the POSIX channel makes to set up its port, as a table that a test
// may replace; each entry defaults to the system's own call. And its reading
// of an open's errno, for others that open ports the same way.
#pragma once
#include <linux/serial.h>
#include <termios.h>

#include "serial/serial.h"

SerialOpenFailure SerialFailureFromErrno(int err);

struct SerialPosixCalls {
    int (*getSerialInfo)(int fd, serial_struct* info);        // TIOCGSERIAL
    int (*setSerialInfo)(int fd, const serial_struct* info);  // TIOCSSERIAL
    int (*setAttributes)(int fd, const termios* settings);    // tcsetattr, TCSANOW
    int (*getAttributes)(int fd, termios* settings);          // tcgetattr
};

extern SerialPosixCalls SerialPosixSystem;
