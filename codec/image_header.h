// Image header: the first 1024 bytes of an image that begins with "BIN" and a 0 byte.
#pragma once

enum { ImageHeaderSize = 1024, ImageHeaderFirstField = 36 };

struct ImageIdentity {
    char customerId[48];
    char moduleNo[16];
    char hardware[16];
    char software[16];
    unsigned char key;
};

// Filled by the header decoder; meaningful only after it found a header.
extern ImageIdentity ImageId;

// Decodes the header held in memory (exactly ImageHeaderSize bytes) into ImageId.
bool DecodeImageHeader(const unsigned char header[ImageHeaderSize]);

// Decodes the scrambled field at `position` of `header` into `member`
// (capacity bytes, terminator included). Returns the position after the field,
// or ImageHeaderSize when the field runs past the header.
int DecodeHeaderField(const unsigned char header[ImageHeaderSize], int position, char* member,
                      int capacity);

// True when the first four bytes are "BIN" and a 0 byte.
bool HasImageMagic(const unsigned char* bytes, int count);
