// The far end of a pseudo-terminal pair, played by a test in place of the scanner.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PtyPeer {
   public:
    using Bytes = std::vector<unsigned char>;
    // Answers each byte the utility writes; the reply is written back at once.
    using Responder = std::function<Bytes(unsigned char)>;

    PtyPeer() {
        char name[128];
        termios raw = {};
        cfmakeraw(&raw);
        openpty(&master_, &slave_, name, &raw, nullptr);
        path_ = name;
    }
    ~PtyPeer() {
        StopResponder();
        Unplug();
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const char* Path() const { return path_.c_str(); }

    void Write(const Bytes& bytes) {
        if (master_ >= 0 && !bytes.empty()) (void)!write(master_, bytes.data(), bytes.size());
    }

    // Everything the utility wrote, gathered until `quietMs` pass without a byte.
    Bytes ReadUntilQuiet(int quietMs) {
        Bytes got;
        unsigned char buffer[512];
        pollfd p = {master_, POLLIN, 0};
        while (poll(&p, 1, quietMs) > 0) {
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    void StartResponder(Responder respond) {
        running_ = true;
        thread_ = std::thread([this, respond] {
            unsigned char buffer[256];
            while (running_) {
                pollfd p = {master_, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0) continue;
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n <= 0) break;
                for (ssize_t i = 0; i < n; ++i) {
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        received_.push_back(buffer[i]);
                    }
                    Write(respond(buffer[i]));
                }
            }
        });
    }

    void StopResponder() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }

    Bytes Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    // Like pulling a USB adapter: the utility's side sees a hang-up.
    void Unplug() {
        StopResponder();
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        master_ = slave_ = -1;
    }

   private:
    int master_ = -1;
    int slave_ = -1;  // held so the line stays up between opens
    std::string path_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::mutex mutex_;
    Bytes received_;
};
