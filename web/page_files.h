// A page's files, embedded in the program when it is built: the station
// works offline and fetches nothing.
#pragma once
#include <cstddef>
#include <string>

struct PageFile {
    const char* path;  // "/station.js"
    const char* type;  // its Content-Type
    const char* bytes;
    size_t size;
};

// nullptr when there is no such file: the station's page, the line's.
const PageFile* FindPageFile(const std::string& path);
const PageFile* FindLinePageFile(const std::string& path);
