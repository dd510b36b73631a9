#include "codec/scanner_identity.h"

#include <cstdio>

#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/key_code.h"

ScannerIdentity ScannerId;

namespace {

OverrideQuestion overrideQuestion = nullptr;

struct IdentityField {
    char* member;
    int capacity;  // characters, terminator not counted
};

const IdentityField identityFields[4] = {{ScannerId.customerId, 48},
                                         {ScannerId.moduleNo, 16},
                                         {ScannerId.hardware, 32},
                                         {ScannerId.software, 16}};

// Fields end at the reply's end when they would run past it.
void DecodeScrambledFields(const unsigned char* reply, int length, unsigned char k) {
    int pos = 0;
    unsigned first = k;
    for (const IdentityField& f : identityFields) {
        int c = 0;
        unsigned e = first;
        while (c < f.capacity && pos < length) {
            unsigned char b = static_cast<unsigned char>(reply[pos++] ^ e);
            if (b == 0) break;
            f.member[c++] = static_cast<char>(b);
            ++e;
        }
        f.member[c] = 0;
        first = (first + f.capacity) & 0xFF;
    }
}

// Plain texts are cut at the member's capacity and at the reply's end.
void ReadPlainFields(const unsigned char* reply, int length) {
    int pos = 0;
    for (const IdentityField& f : identityFields) {
        int c = 0;
        while (pos < length && reply[pos] != 0) {
            if (c < f.capacity) f.member[c++] = static_cast<char>(reply[pos]);
            ++pos;
        }
        if (pos < length) ++pos;  // the closing 0
        f.member[c] = 0;
    }
}

int FormatOverrideMessage(char* text, int capacity) {
    return std::snprintf(text, capacity,
                         "Old Customer ID\t: %s\nNew Customer ID\t: %s\n"
                         "Old Module No\t: %s\nNew Module No\t: %s\n"
                         "Old Hardware\t: %s\nNew Hardware\t: %s\n"
                         "Old Software\t: %s\nNew Software\t: %s",
                         ScannerId.customerId, ImageId.customerId, ScannerId.moduleNo,
                         ImageId.moduleNo, ScannerId.hardware, ImageId.hardware, ScannerId.software,
                         ImageId.software);
}

}  // namespace

void SetOverrideQuestion(OverrideQuestion ask) {
    overrideQuestion = ask;
}

bool DecodeScannerIdentity(const unsigned char* reply, int length) {
    if (length < 10) return false;
    if (reply[length - 1] != 0x0A || reply[length - 2] != 0x0D) return false;
    unsigned sum = 0;
    for (int i = 0; i <= length - 4; ++i) sum += reply[i];
    if ((sum & 0xFF) != reply[length - 3]) return false;
    int k = KeyCodeDecodeShort(reply + length - 10);
    if (k >= 0) {
        DecodeScrambledFields(reply, length, static_cast<unsigned char>(k));
        return true;
    }
    if (AccessMode != Override) return false;
    ReadPlainFields(reply, length);
    return ConfirmOverride("Got a unencrypt ID");
}

bool ConfirmOverride(const char* reason) {
    if (AccessMode != Override) return false;
    char text[512];
    FormatOverrideMessage(text, sizeof text);
    return overrideQuestion != nullptr && overrideQuestion(reason, text);
}
