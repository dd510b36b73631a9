#include "codec/access_mode.h"

#include <cstring>

AccessLevel AccessMode = EndUser;

AccessLevel ParseAccessWord(const char* word) {
    if (std::strcmp(word, "QUIRK!!") == 0) return Override;
    if (std::strcmp(word, "MAPLEGROVE") == 0) return Reseller;
    return EndUser;
}

AccessLevel SelectAccessMode(int argc, const char* const* argv) {
    return argc == 2 ? ParseAccessWord(argv[1]) : EndUser;
}
