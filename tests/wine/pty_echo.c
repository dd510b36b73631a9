/* Test peer for the Windows serial channel under Wine: a pseudo-terminal that
 * sends back every byte it receives, unchanged. Prints its device path on the
 * first line (and into FILE with --path-file FILE); runs until killed. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int MakeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t);
}

static void WritePath(const char* file, const char* path) {
    FILE* f = fopen(file, "w");
    if (!f) return;
    fprintf(f, "%s\n", path);
    fclose(f);
}

static void Echo(int master) {
    unsigned char buffer[512];
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) continue;
        ssize_t n = read(master, buffer, sizeof buffer);
        for (ssize_t done = 0; n > 0 && done < n;) {
            ssize_t w = write(master, buffer + done, n - done);
            if (w > 0) done += w;
        }
    }
}

int main(int argc, char** argv) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    const char* path = ptsname(master);
    /* Our own hold on the slave: the utility's closes never hang the line up. */
    int slave = open(path, O_RDWR | O_NOCTTY);
    if (slave < 0 || MakeRaw(slave) != 0 || MakeRaw(master) != 0) return 1;
    printf("pty_echo: device %s\n", path);
    fflush(stdout);
    if (argc == 3 && strcmp(argv[1], "--path-file") == 0) WritePath(argv[2], path);
    Echo(master);
    return 0;
}
