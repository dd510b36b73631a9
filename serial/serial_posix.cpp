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
#include <thread>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/serial_status.h"

namespace {

int portFd = -1;
std::atomic<int> openFd{-1};  // the same, for the ring's look at the driver from the worker
int wakePipe[2] = {-1, -1};   // written by SerialClose: closing an fd does not wake poll()
std::thread readerThread;

speed_t SpeedFor(uint32_t baud) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } rates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& r : rates)
        if (r.baud == baud) return r.speed;
    return B0;
}

// Raw 8N1, no flow control of any kind, no byte translated or swallowed.
void ApplyLineSettings(int fd, uint32_t baud) {
    termios t = {};
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t speed = SpeedFor(baud);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    tcsetattr(fd, TCSANOW, &t);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);  // a pseudo-terminal refuses this; not an error
}

SerialOpenFailure FailureFromErrno(int err) {
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
    if (fd >= 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) return SerialRefuseOpen(FailureFromErrno(errno));
    SerialNoteOpened();
    ApplyLineSettings(fd, baud);
    tcflush(fd, TCIOFLUSH);
    portFd = fd;
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
    ioctl(portFd, TIOCNXCL);
    close(portFd);
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
