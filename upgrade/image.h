// The image of an upgrade: opened once, measured, and then read only up to
// its measured size, so that what is sent is exactly what was measured.
#pragma once
#include <cstdint>

// An image path of at most 255 characters.
enum { ImagePathSize = 256 };

// Opens and measures the image: a regular file whose size fits ImageSize,
// read through once for a digest of its bytes and its header bytes. Closes
// any image open before. 0, or -1 when it cannot be opened or read whole.
int OpenImage(const char* path);

// The image of this run is open under exactly this path.
bool ImageIsOpen(const char* path);

// Whole file, header included; 0 when no image is open.
int32_t ImageSize();

// A 64-bit FNV-1a digest of the measured bytes; 0 when no image is open.
uint64_t ImageDigest();

// The bytes the scanner receives: the image without its 1024-byte header
// when it begins with the header magic.
int32_t ImagePayloadSize();

// False for an image with nothing to send: no bytes at all, or the header
// magic with nothing after the first 1024 bytes.
bool ImageHasPayload();

// The header check on the bytes that were measured: true when they carry a
// header whose key code is accepted (ImageId then holds its identity).
bool DecodeMeasuredHeader();

// Starts reading the image again from its first byte.
void RewindImage();

// The next bytes, at most `count` and never past the measured size: the count
// read, or -1 when the file delivered less than its measured size allows
// (truncated, unreadable, removed).
int ReadImage(unsigned char* bytes, int count);

// Every measured byte has been read since the rewind, and they are the bytes
// that were measured.
bool ImageReadAsMeasured();

void CloseImage();

// True when the file carries a header whose key code is accepted. Reads the
// first 1024 bytes only; the image of a run is not touched.
bool ReadImageHeader(const char* imagePath);
