/* Test-only LD_PRELOAD library for running the Windows build under Wine on a
 * pseudo-terminal. Wine's comm-event wait reads the modem lines, which a pty
 * refuses (ENOTTY), so the wait would fail at once. Here a pty answers the
 * modem-line ioctls like a cable with the far end present: DSR, CTS and CD
 * up, DTR and RTS as last set. Once the far end has closed its side, reading
 * the lines fails, as it does for a USB adapter that was pulled out. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

enum { MaxFds = 1024 };

static int setLines[MaxFds]; /* DTR/RTS per descriptor */

/* Unix98 pty slaves have majors 136 to 143. */
static int IsPtySlave(int fd) {
    struct stat st;
    if (fd < 0 || fd >= MaxFds || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static int HungUp(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

static int AnswerModemIoctl(int fd, unsigned long request, int* bits) {
    const int settable = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
        case TIOCMGET:
            if (HungUp(fd)) {
                errno = EIO;
                return -1;
            }
            *bits = setLines[fd] | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
            return 0;
        case TIOCMBIS:
            setLines[fd] |= *bits & settable;
            return 0;
        case TIOCMBIC:
            setLines[fd] &= ~(*bits & settable);
            return 0;
        case TIOCMSET:
            setLines[fd] = *bits & settable;
            return 0;
    }
    return -1;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    int saved = errno;
    int result = real(fd, request, arg);
    int isModem =
        request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
    if (result == 0 || !isModem || !arg || !IsPtySlave(fd)) return result;
    errno = saved;
    return AnswerModemIoctl(fd, request, (int*)arg);
}
