#include "codec/image_header.h"

#include <cstring>

#include "codec/key_code.h"

ImageIdentity ImageId;

namespace {

// Reads the header byte at `pos`; marks the cursor overrun instead of reading past the end.
struct HeaderCursor {
    const unsigned char* header;
    int pos;
    bool overrun;
    unsigned char Next() {
        if (pos >= ImageHeaderSize) {
            overrun = true;
            return 0;
        }
        return header[pos++];
    }
};

bool IsHexLetter(unsigned char c) {
    return (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A hex letter carries a nested key code; its key picks the final character.
unsigned char DecodeNestedCharacter(HeaderCursor& cur, unsigned char letter, unsigned char& s) {
    unsigned char code[KeyCodeLength];
    code[0] = 'C';
    code[1] = static_cast<unsigned char>(letter >= 'a' ? letter - 'a' + 'A' : letter);
    code[5] = '#';
    static const int places[6] = {2, 3, 4, 6, 7, 8};
    for (int place : places) code[place] = static_cast<unsigned char>(cur.Next() ^ s++);
    if (cur.overrun) return letter;
    int v = KeyCodeDecode(code);
    if (v >= 0 && v <= 9) return static_cast<unsigned char>('0' + v);
    if (v >= 10 && v <= 15) {
        char base = letter >= 'a' ? 'A' : 'a';
        return static_cast<unsigned char>(base + (v - 10));
    }
    return letter;
}

}  // namespace

bool HasImageMagic(const unsigned char* bytes, int count) {
    return count >= 4 && bytes[0] == 'B' && bytes[1] == 'I' && bytes[2] == 'N' && bytes[3] == 0;
}

int DecodeHeaderField(const unsigned char header[ImageHeaderSize], int position, char* member,
                      int capacity) {
    member[0] = 0;
    if (position + KeyCodeShortLength > ImageHeaderSize) return ImageHeaderSize;
    int k = KeyCodeDecodeShort(header + position);
    HeaderCursor cur = {header, position + KeyCodeShortLength, false};
    if (k < 0) return cur.pos;
    unsigned char s = static_cast<unsigned char>(k);
    int length = cur.Next() ^ s++;
    int kept = 0;
    for (int i = 0; i < length && !cur.overrun; ++i) {
        unsigned char c = static_cast<unsigned char>(cur.Next() ^ s++);
        if (cur.overrun) break;
        if (IsHexLetter(c)) c = DecodeNestedCharacter(cur, c, s);
        if (cur.overrun) break;
        // Over-long texts are cut at the member's capacity; the field is still consumed whole.
        if (kept < capacity - 1) member[kept++] = static_cast<char>(c);
    }
    member[kept] = 0;
    return cur.overrun ? ImageHeaderSize : cur.pos;
}

bool DecodeImageHeader(const unsigned char header[ImageHeaderSize]) {
    if (!HasImageMagic(header, ImageHeaderSize)) return false;
    int pos = ImageHeaderFirstField;
    pos = DecodeHeaderField(header, pos, ImageId.customerId, sizeof ImageId.customerId);
    pos = DecodeHeaderField(header, pos, ImageId.moduleNo, sizeof ImageId.moduleNo);
    pos = DecodeHeaderField(header, pos, ImageId.hardware, sizeof ImageId.hardware);
    pos = DecodeHeaderField(header, pos, ImageId.software, sizeof ImageId.software);
    if (pos + KeyCodeShortLength > ImageHeaderSize) return false;
    int key = KeyCodeDecodeShort(header + pos);
    if (key < 0) return false;
    ImageId.key = static_cast<unsigned char>(key);
    return true;
}
