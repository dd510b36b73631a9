#include "upgrade/image.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "codec/image_header.h"
#include "upgrade/image_file.h"

namespace {

enum { ReadPiece = 4096 };

// FNV-1a, 64 bits: tells a changed file from the measured one.
const uint64_t DigestStart = 14695981039346656037ULL, DigestPrime = 1099511628211ULL;

struct RunImage {
    int handle = -1;
    char path[ImagePathSize];
    int32_t size = 0;
    uint64_t digest = 0;
    unsigned char header[ImageHeaderSize];
    int64_t position = 0;  // of the next ReadImage
    uint64_t readDigest = 0;
} image;

uint64_t Digest(uint64_t digest, const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) digest = (digest ^ bytes[i]) * DigestPrime;
    return digest;
}

// Reads the measured size through once; false when the file ends early or a read fails.
bool MeasureContent() {
    unsigned char piece[ReadPiece];
    uint64_t digest = DigestStart;
    for (int64_t at = 0; at < image.size;) {
        int64_t left = image.size - at;
        int want = left < ReadPiece ? static_cast<int>(left) : ReadPiece;
        int got = ImageFileRead(image.handle, at, piece, want);
        if (got <= 0) return false;
        if (at < ImageHeaderSize) {
            int64_t keep = ImageHeaderSize - at;
            std::memcpy(image.header + at, piece, static_cast<size_t>(got < keep ? got : keep));
        }
        digest = Digest(digest, piece, got);
        at += got;
    }
    image.digest = digest;
    return true;
}

}  // namespace

int OpenImage(const char* path) {
    CloseImage();
    if (std::snprintf(image.path, sizeof image.path, "%s", path) >= ImagePathSize) return -1;
    int64_t size = 0;
    std::memset(image.header, 0, sizeof image.header);
    image.handle = ImageFileOpen(path, &size);
    if (image.handle < 0) return -1;
    image.size = static_cast<int32_t>(size);
    if (size < 0 || size > INT32_MAX || !MeasureContent()) {
        CloseImage();
        return -1;
    }
    RewindImage();
    return 0;
}

bool ImageIsOpen(const char* path) {
    return image.handle >= 0 && std::strcmp(image.path, path) == 0;
}

int32_t ImageSize() {
    return image.handle >= 0 ? image.size : 0;
}

uint64_t ImageDigest() {
    return image.handle >= 0 ? image.digest : 0;
}

int32_t ImagePayloadSize() {
    if (image.handle < 0) return 0;
    if (!HasImageMagic(image.header, image.size < 4 ? image.size : 4)) return image.size;
    return image.size > ImageHeaderSize ? image.size - ImageHeaderSize : 0;
}

bool ImageHasPayload() {
    return ImagePayloadSize() > 0;
}

bool DecodeMeasuredHeader() {
    return image.handle >= 0 && image.size >= ImageHeaderSize && DecodeImageHeader(image.header);
}

void RewindImage() {
    image.position = 0;
    image.readDigest = DigestStart;
}

int ReadImage(unsigned char* bytes, int count) {
    if (image.handle < 0) return -1;
    int64_t left = image.size - image.position;
    int want = left < count ? static_cast<int>(left) : count;
    for (int got = 0; got < want;) {
        int n = ImageFileRead(image.handle, image.position + got, bytes + got, want - got);
        if (n <= 0) return -1;
        got += n;
    }
    image.readDigest = Digest(image.readDigest, bytes, want);
    image.position += want;
    return want;
}

bool ImageReadAsMeasured() {
    return image.handle >= 0 && image.position == image.size && image.readDigest == image.digest;
}

void CloseImage() {
    if (image.handle >= 0) ImageFileClose(image.handle);
    image.handle = -1;
    image.size = 0;
    image.path[0] = 0;
}

bool ReadImageHeader(const char* imagePath) {
    static unsigned char header[ImageHeaderSize];
    int64_t size = 0;
    int handle = ImageFileOpen(imagePath, &size);
    if (handle < 0) return false;
    int got = size >= ImageHeaderSize ? ImageFileRead(handle, 0, header, ImageHeaderSize) : 0;
    ImageFileClose(handle);
    return got == ImageHeaderSize && DecodeImageHeader(header);
}
