// Serial port channel on POSIX termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/serial_posix_calls.h"
#include "serial/serial_report.h"
#include "serial/serial_status.h"

namespace {

int GetSerialInfo(int fd, serial_struct* info) {
    return ioctl(fd, TIOCGSERIAL, info);
}
int SetSerialInfo(int fd, const serial_struct* info) {
    return ioctl(fd, TIOCSSERIAL, info);
}
int SetAttributes(int fd, const termios* settings) {
    return tcsetattr(fd, TCSANOW, settings);
}

}  // namespace

SerialPosixCalls SerialPosixSystem = {GetSerialInfo, SetSerialInfo, SetAttributes, tcgetattr};

namespace {

SerialPosixCalls& calls = SerialPosixSystem;

const long CloseDrainMaxMs = 2000, CloseDrainSlackMs = 100;

int portFd = -1;
uint32_t portBaud = 0;
serial_struct serialFound;  // the driver's flags as found, put back at close
bool restoreSerial = false;
std::atomic<int> openFd{-1};  // the same, for the ring's look at the driver from the worker
int wakePipe[2] = {-1, -1};   // written by SerialClose: closing an fd does not wake poll()
std::thread readerThread;

const struct {
    uint32_t baud;
    speed_t speed;
} Rates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
             {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
             {230400, B230400}, {460800, B460800}, {921600, B921600}};

speed_t SpeedFor(uint32_t baud) {
    for (const auto& r : Rates)
        if (r.baud == baud) return r.speed;
    return B0;
}

uint32_t BaudFor(speed_t speed) {
    for (const auto& r : Rates)
        if (r.speed == speed) return r.baud;
    return 0;
}

// Raw 8N1, no flow control of any kind, no byte translated or swallowed. No
// HUPCL: a close leaves the modem lines as they are, so a probe that opens the
// port twice a second does not toggle them.
termios LineSettings(speed_t speed) {
    termios t = {};
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    return t;
}

bool TookLineSettings(const termios& back, speed_t speed) {
    speed_t in = cfgetispeed(&back);
    bool rate = speed == B0 || (cfgetospeed(&back) == speed && (in == speed || in == B0));
    return rate && (back.c_cflag & CSIZE) == CS8 && !(back.c_cflag & (PARENB | CSTOPB));
}

// tcsetattr succeeds when any part of the settings took, so they are read
// back. False when the line is not at `baud` 8N1; `found` is the speed read.
bool ApplyLineSettings(int fd, uint32_t baud, uint32_t& found) {
    speed_t speed = SpeedFor(baud);
    termios t = LineSettings(speed), back = {};
    calls.setAttributes(fd, &t);
    if (calls.getAttributes(fd, &back) != 0) return false;
    found = BaudFor(cfgetospeed(&back));
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);  // a pseudo-terminal refuses this; not an error
    return TookLineSettings(back, speed);
}

// The driver's low-latency flag makes an FTDI adapter pass each reply on at
// once instead of after its latency timer (16 ms by default).
SerialLowLatency AskLowLatency(int fd) {
    restoreSerial = false;
    serial_struct info;
    std::memset(&info, 0, sizeof info);
    if (calls.getSerialInfo(fd, &info) != 0) return LowLatencyUnsupported;
    if (info.flags & ASYNC_LOW_LATENCY) return LowLatencyAlreadyOn;
    serialFound = info;
    info.flags |= ASYNC_LOW_LATENCY;
    if (calls.setSerialInfo(fd, &info) != 0) return LowLatencyRefused;
    restoreSerial = true;
    // Some drivers answer the call and drop the flag.
    if (calls.getSerialInfo(fd, &info) != 0 || !(info.flags & ASYNC_LOW_LATENCY))
        return LowLatencyRefused;
    return LowLatencySet;
}

void NoteLowLatency(SerialLowLatency state) {
    static const char* const notes[] = {
        "", "low latency: set for this port, put back at close", "low latency: already on",
        "low latency: this driver has no such flag (a pseudo-terminal or a plain adapter)",
        "low latency: the driver did not take the flag"};
    SerialNote(notes[state]);
}

// Configures the port; false when it will not take the line's speed and 8N1.
bool ConfigurePort(int fd, uint32_t baud) {
    SerialPortReport report = {baud, 0, AskLowLatency(fd), false};
    NoteLowLatency(report.lowLatency);
    bool took = ApplyLineSettings(fd, baud, report.speedFound);
    SerialRecordPort(report);
    if (!took) {
        char note[96];
        std::snprintf(note, sizeof note, "settings: the driver reads back %u baud, not %u 8N1",
                      report.speedFound, baud);
        SerialNote(note);
    }
    return took;
}

// close() would wait for unsent output up to the driver's closing wait (30 s
// by default): the bytes get the time they need on the line, and what is left
// after that is dropped. Nothing is flushed when nothing waits: on a
// pseudo-terminal a flush would take back bytes the far end has not read yet.
void DrainOutput(int fd, uint32_t baud) {
    int queued = 0;
    if (baud == 0 || ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    long needMs = static_cast<long>(queued) * 10000 / baud + CloseDrainSlackMs;
    auto limit = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(needMs < CloseDrainMaxMs ? needMs : CloseDrainMaxMs);
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (queued > 0) tcflush(fd, TCOFLUSH);
}

// The port as it was found: the driver's flags back, the exclusive hold gone.
void ReleasePort(int fd) {
    if (restoreSerial) calls.setSerialInfo(fd, &serialFound);
    restoreSerial = false;
    ioctl(fd, TIOCNXCL);
    close(fd);
}

}  // namespace

SerialOpenFailure SerialFailureFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return SerialNoDevice;
        case EBUSY:
        case EWOULDBLOCK:
            return SerialBusy;
        case EACCES:
        case EPERM:
            return SerialDenied;
        case ENOTTY:
            return SerialNotSerial;
        default:
            return SerialOtherFailure;
    }
}

namespace {

// Opens without sharing: flock() stops cooperating programs, TIOCEXCL the rest.
int OpenExclusive(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int err = 0;
    if (!isatty(fd))
        err = ENOTTY;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        err = EBUSY;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

// Reads what waits, 128 bytes at a time. False once the device is gone.
bool DrainInput(int fd) {
    unsigned char buffer[128];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            SerialDeliverReceived(buffer, static_cast<int>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN;
    }
}

int DriverBacklog() {
    int waiting = 0;
    int fd = openFd.load();
    return fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0 ? waiting : 0;
}

}  // namespace

int SerialOpen(const char* device_path, uint32_t baud) {
    SerialClose();
    int fd = OpenExclusive(device_path);
    if (fd < 0) return SerialRefuseOpen(SerialFailureFromErrno(errno));
    if (!ConfigurePort(fd, baud)) {
        ReleasePort(fd);
        return SerialRefuseOpen(SerialSettingsRefused);
    }
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        ReleasePort(fd);
        return SerialRefuseOpen(SerialFailureFromErrno(err));
    }
    SerialNoteOpened();
    tcflush(fd, TCIOFLUSH);
    portFd = fd;
    portBaud = baud;
    openFd = fd;
    RxSetDriverBacklog(DriverBacklog);
    RxSetLinkDown(false);
    SerialReaderStarting();
    readerThread = std::thread(SerialReaderThread);
    return 0;
}

void SerialWrite(const void* bytes, uint32_t length) {
    if (portFd < 0 || SerialHalted()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * length + 10);
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        ssize_t n = 0;
        {
            std::unique_lock<std::mutex> hold = SerialHoldTap();
            n = write(portFd, p, length);
            if (n > 0) SerialNoteWritten(p, static_cast<int>(n));
        }
        if (n > 0) {
            p += n;
            length -= static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd out = {portFd, POLLOUT, 0};
        poll(&out, 1, static_cast<int>(left.count()));
    }
}

void SerialClose() {
    if (portFd < 0) return;
    if (wakePipe[1] >= 0) {
        char wake = 1;
        ssize_t ignored = write(wakePipe[1], &wake, 1);
        (void)ignored;
    }
    if (readerThread.joinable()) readerThread.join();
    openFd = -1;
    DrainOutput(portFd, portBaud);
    ReleasePort(portFd);
    for (int& fd : wakePipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    portFd = -1;
    RxSetLinkDown(true);
}

void SerialReaderThread() {
    bool gone = false;
    while (!gone) {
        pollfd fds[2] = {{portFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            gone = true;
            break;
        }
        if (fds[1].revents != 0) break;
        RxSetDraining(true);
        if (fds[0].revents & POLLIN) gone = !DrainInput(portFd);
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (!gone) DrainInput(portFd);
            gone = true;
        }
        RxSetDraining(false);
    }
    if (gone) RxSetLinkDown(true);
    SerialReaderEnded();
}
