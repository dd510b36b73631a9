// The image file on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upgrade/image_file.h"

// O_NONBLOCK: a FIFO or a device behind the name must not hold the open up;
// anything that is not a regular file is refused once it is open.
int ImageFileOpen(const char* path, int64_t* size) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    *size = static_cast<int64_t>(st.st_size);
    return fd;
}

int ImageFileRead(int handle, int64_t offset, unsigned char* bytes, int count) {
    for (;;) {
        ssize_t n = pread(handle, bytes, static_cast<size_t>(count), static_cast<off_t>(offset));
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

void ImageFileClose(int handle) {
    if (handle >= 0) close(handle);
}
