// The image file as the platform opens it: the only file the upgrade reads.
#pragma once
#include <cstdint>

// Opens `path` for reading, never blocking, and only when it names a regular
// file (a link to one is followed). The size comes from the file system, not
// from seeking. A handle >= 0, or -1 with nothing left open. One file at a
// time per caller; every handle is closed with ImageFileClose.
int ImageFileOpen(const char* path, int64_t* size);

// Up to `count` bytes from `offset`: the count read (0 at the file's end), or
// -1 when the read failed.
int ImageFileRead(int handle, int64_t offset, unsigned char* bytes, int count);

void ImageFileClose(int handle);
