// A temporary file holding given bytes, removed when the test ends.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

class TempFile {
   public:
    explicit TempFile(const std::vector<unsigned char>& bytes, const char* suffix = ".bin") {
        static std::atomic<unsigned> serial{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = (std::filesystem::temp_directory_path() /
                 ("orvane-test-" + std::to_string(stamp) + "-" + std::to_string(serial++) + suffix))
                    .string();
        FILE* f = std::fopen(path_.c_str(), "wb");
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* Path() const { return path_.c_str(); }

   private:
    std::string path_;
};
