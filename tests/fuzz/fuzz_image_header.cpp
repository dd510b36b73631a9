// Any 1024 bytes as an image header: decoding stays inside them and leaves every text
// terminated inside its member. Headers the scanner side builds decode to exactly what
// went in.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "codec/image_header.h"
#include "codec/key_code.h"
#include "sim/sim_codec.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Exactly the header's size on the heap, so a read past it is an ASan report.
struct HeaderBuffer {
    std::unique_ptr<unsigned char[]> bytes{new unsigned char[ImageHeaderSize]};
    void Fill(const uint8_t* data, size_t size) {
        size_t n = std::min<size_t>(size, ImageHeaderSize);
        std::memcpy(bytes.get(), data, n);
        std::memset(bytes.get() + n, 0, ImageHeaderSize - n);
    }
};

bool HasMagic(const unsigned char* header) {
    return std::memcmp(header, "BIN", 4) == 0;  // the literal's own 0 is the fourth byte
}

// Unterminated filler, so a member the decoder leaves unwritten fails Terminated().
void Scribble() {
    std::memset(&ImageId, 0xA5, sizeof ImageId);
}

bool AllTerminated() {
    return Terminated(ImageId.customerId) && Terminated(ImageId.moduleNo) &&
           Terminated(ImageId.hardware) && Terminated(ImageId.software);
}

sim::Identity ReadIdentity(InputReader& in, size_t extra) {
    sim::Identity id;
    id.customerId = in.Printable(sizeof ImageId.customerId - 1 + extra);
    id.moduleNo = in.Printable(sizeof ImageId.moduleNo - 1 + extra);
    id.hardware = in.Printable(sizeof ImageId.hardware - 1 + extra);
    id.software = in.Printable(sizeof ImageId.software - 1 + extra);
    return id;
}

// The scanner side's own header, texts within the members' capacities.
void BuiltHeaderRoundTrip(InputReader& in, HeaderBuffer& buffer) {
    std::mt19937 rng(in.Word());
    uint8_t key = in.Byte();
    sim::Identity id = ReadIdentity(in, 0);
    sim::Bytes header = sim::BuildImageHeader(id, key, rng);
    FUZZ_CHECK(header.size() == ImageHeaderSize);
    buffer.Fill(header.data(), header.size());
    Scribble();
    FUZZ_CHECK(DecodeImageHeader(buffer.bytes.get()));
    FUZZ_CHECK(id.customerId == ImageId.customerId);
    FUZZ_CHECK(id.moduleNo == ImageId.moduleNo);
    FUZZ_CHECK(id.hardware == ImageId.hardware);
    FUZZ_CHECK(id.software == ImageId.software);
    FUZZ_CHECK(ImageId.key == key);
}

// Fields written one by one: some with a rejected key (empty; the next field follows its key
// code), texts up to 8 characters over capacity (cut; the field is still consumed whole), and
// on request filler that moves the image key to the header's last bytes, where it just fits
// or runs past the end.
void StyledHeaderRoundTrip(InputReader& in, HeaderBuffer& buffer) {
    std::mt19937 rng(in.Word());
    const uint8_t key = in.Byte();
    const uint8_t styles = in.Byte();
    const uint8_t reach = in.Byte();
    const uint8_t fill = in.Byte();
    sim::Identity id = ReadIdentity(in, 8);
    std::string* texts[4] = {&id.customerId, &id.moduleNo, &id.hardware, &id.software};
    const size_t capacity[4] = {sizeof ImageId.customerId, sizeof ImageId.moduleNo,
                                sizeof ImageId.hardware, sizeof ImageId.software};
    uint8_t fieldKeys[4];
    sim::FieldStyle style[4];
    for (int i = 0; i < 4; ++i) {
        fieldKeys[i] = in.Byte();
        style[i].rejectedKey = (styles >> i) & 1;
        style[i].nestDigits = (styles >> 4) & 1;
    }
    // The generator by value: the same texts give the same bytes.
    auto build = [&](std::mt19937 r) {
        sim::Bytes header = {'B', 'I', 'N', 0};
        header.resize(ImageHeaderFirstField, fill);
        for (int i = 0; i < 4; ++i) {
            sim::Bytes field = sim::EncodeHeaderField(*texts[i], fieldKeys[i], r, style[i]);
            header.insert(header.end(), field.begin(), field.end());
        }
        for (uint8_t b : sim::ShortForm(sim::RandomKeyCode(key, r))) header.push_back(b);
        return header;
    };

    sim::Bytes header = build(rng);
    if (reach & 0x80) {
        // 'x' takes one byte and draws nothing from the generator, so each one moves the key
        // by exactly one.
        const size_t target = ImageHeaderSize - KeyCodeShortLength - 3 + reach % 8;
        size_t missing = target - (header.size() - KeyCodeShortLength);
        for (int i = 0; i < 4 && missing > 0; ++i) {
            if (style[i].rejectedKey) continue;
            size_t n = std::min(missing, 255 - texts[i]->size());
            texts[i]->append(n, 'x');
            missing -= n;
        }
        header = build(rng);
        if (missing == 0) FUZZ_CHECK(header.size() - KeyCodeShortLength == target);
    }
    const bool keyFits = header.size() <= ImageHeaderSize;
    header.resize(ImageHeaderSize, fill);
    buffer.Fill(header.data(), header.size());
    Scribble();
    FUZZ_CHECK(DecodeImageHeader(buffer.bytes.get()) == keyFits);
    // Texts are decoded before the key is judged.
    const char* members[4] = {ImageId.customerId, ImageId.moduleNo, ImageId.hardware,
                              ImageId.software};
    for (int i = 0; i < 4; ++i) {
        std::string expected = style[i].rejectedKey ? "" : texts[i]->substr(0, capacity[i] - 1);
        FUZZ_CHECK(expected == members[i]);
    }
    if (keyFits) FUZZ_CHECK(ImageId.key == key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HeaderBuffer buffer;
    buffer.Fill(data, size);
    Scribble();
    bool found = DecodeImageHeader(buffer.bytes.get());
    if (HasMagic(buffer.bytes.get())) {
        FUZZ_CHECK(AllTerminated());
    } else {
        FUZZ_CHECK(!found);
    }

    // The magic is the same in most inputs; the values start after it. One round trip per
    // input: building a header costs more than decoding one.
    if (size > 4 + 6) {
        InputReader in(data + 4, size - 4);
        if (in.Byte() & 1) {
            BuiltHeaderRoundTrip(in, buffer);
        } else {
            StyledHeaderRoundTrip(in, buffer);
        }
    }
    return 0;
}
