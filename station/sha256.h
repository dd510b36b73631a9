// SHA-256, for the image card and every record a station keeps: the digest
// a customer can check the image they were sent against.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes so far
    unsigned char block[64];
    size_t filled;
};

void Sha256Start(Sha256& s);
void Sha256Add(Sha256& s, const void* bytes, size_t count);
// The digest as 64 lower-case hex digits.
std::string Sha256Finish(Sha256& s);
