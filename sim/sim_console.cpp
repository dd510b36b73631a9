#include "sim/sim_console.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

#include "sim/sim_xmodem.h"

namespace sim {

namespace {

constexpr size_t kKeyCodeLength = 9;
constexpr size_t kMaxLine = 256;

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool ParseHex(const std::string& word, uint32_t& value) {
    char* end = nullptr;
    unsigned long v = std::strtoul(word.c_str(), &end, 16);
    if (word.empty() || *end != '\0' || v > 0xFFFFFFFFUL) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char part[4];
    for (unsigned char b : bytes) {
        std::snprintf(part, sizeof part, "%s%02x", out.empty() ? "" : " ", b);
        out += part;
    }
    return out;
}

template <class... Args>
std::string Format(const char* format, Args... args) {
    char text[128];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// The line as typed, with anything unprintable shown as \xNN.
std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char b : bytes)
        out += (b >= 0x20 && b < 0x7F) ? std::string(1, char(b)) : Format("\\x%02x", b);
    return out;
}

}  // namespace

void Console::Serve() {
    for (;;) {
        int b = m_.Next(1000);
        if (b == kLineClosed) return;
        if (b >= 0 && !Take(static_cast<uint8_t>(b))) return;
    }
}

bool Console::Take(uint8_t byte) {
    // A key code's nine bytes may hold a carriage return of their own.
    const bool inKeyCode = !line_.empty() && line_[0] == 'C' && line_.size() < kKeyCodeLength;
    if (byte == '\r' && !inKeyCode) return Execute();
    if (line_.size() >= kMaxLine) {
        m_.SayByte(byte);
        return true;
    }
    line_.push_back(static_cast<char>(byte));
    if (const EchoFault* fault = FiringEchoFault()) {
        if (fault->wrong) m_.SayByte(byte ^ 0x20);
        m_.Log("echo fault at character " + std::to_string(fault->position) + " of \"" +
               fault->command + "\"; line dropped");
        line_.clear();
        return true;
    }
    m_.SayByte(byte);
    return true;
}

const EchoFault* Console::FiringEchoFault() const {
    const size_t at = line_.size() - 1;
    for (const EchoFault& f : o_.echoFaults) {
        if (f.position < 0 || static_cast<size_t>(f.position) != at) continue;
        const bool match =
            f.command == "C"
                ? line_[0] == 'C'
                : f.command.size() > at && line_.compare(0, at + 1, f.command, 0, at + 1) == 0;
        if (match) return &f;
    }
    return nullptr;
}

bool Console::Execute() {
    std::string line;
    line.swap(line_);
    if (line.empty()) {
        Wake();
        return true;
    }
    m_.Update([&line](BootSimReport& r) { r.commands.push_back(line); });
    std::string reply;
    const std::vector<std::string> words = Words(line);
    const std::string verb = words.empty() ? "" : words[0];
    const std::string args = line.substr(std::min(line.size(), line.find(' ')));
    if (line[0] == 'C') {
        reply = KeyCode(line);
    } else if (words.size() == 1 && verb == "whoru") {
        m_.Log("whoru");
        reply = Whoru();
    } else if (verb == "erase") {
        m_.Log(Printable(line));
        reply = Erase(args);
    } else if (verb == "upload") {
        m_.Log(Printable(line));
        if (!Upload(args, reply)) return false;
    } else if (verb == "go") {
        m_.Log(Printable(line));
        reply = Go(args);
        // Busy starting: nothing is read or answered meanwhile.
        if (o_.goReplyDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o_.goReplyDelayMs));
    } else {
        m_.Log("unknown command \"" + Printable(line) + "\"");
        reply = "\r\nunknown command";
    }
    m_.Say(reply);
    if (!NoPromptAfter(line)) m_.Say(Prompt());
    return true;
}

void Console::Wake() {
    if (o_.noPromptAfterUpload && uploadDone_) {
        m_.Log("wake-up ignored");
        return;
    }
    m_.Log("wake-up");
    m_.Say(Prompt());
    m_.Update([](BootSimReport& r) { ++r.wakes; });
}

std::string Console::KeyCode(const std::string& line) {
    const std::vector<uint8_t> code(line.begin(), line.end());
    const int key = code.size() == kKeyCodeLength ? CheckKeyCode(code.data()) : -1;
    const bool accepted = key >= 0 && (o_.expectedKey < 0 || key == o_.expectedKey);
    unlocked_ = accepted;
    m_.Update([&](BootSimReport& r) {
        r.keyCodes.push_back(code);
        if (key >= 0) r.keyReceived = key;
        r.keyAccepted = accepted;
    });
    const char* verdict = key < 0 ? "invalid" : accepted ? "accepted" : "wrong key";
    m_.Log("key code " + Hex(line) + " (key " + std::to_string(key) + ", " + verdict + ")");
    if (key < 0) return "\r\nkey error";
    return accepted ? "\r\nkey ok" : "\r\nkey refused";
}

std::string Console::Whoru() {
    Bytes reply = o_.plainIdentity ? PlainIdentityReply(o_.identity)
                                   : EncodeIdentityReply(
                                         o_.identity, static_cast<uint8_t>(m_.Rng()()), m_.Rng());
    if (o_.badIdentityChecksum) reply[reply.size() - 3] ^= 0xFF;
    return std::string(reply.begin(), reply.end());
}

std::string Console::Erase(const std::string& args) {
    const std::vector<std::string> words = Words(args);
    EraseRecord record;
    if (words.size() != 2 || !ParseHex(words[0], record.address) ||
        !ParseHex(words[1], record.sectors)) {
        m_.Update([&](BootSimReport& r) { r.erases.push_back(record); });
        return "\r\nusage: erase <hex address> <hex sectors>";
    }
    const int number = ++erases_;
    // The image area stays locked until the right key code has come in.
    const bool locked = o_.expectedKey >= 0 && !unlocked_ && record.address == 0x2000;
    record.done = !locked;
    m_.Update([&](BootSimReport& r) { r.erases.push_back(record); });
    if (locked) {
        m_.Log("erase refused: no accepted key code");
        return "\r\nlocked";
    }
    std::string reply =
        Format("\r\nerasing %u sector(s) at 0x%x ...", record.sectors, record.address);
    const auto& quiet = o_.noSuccessMark;
    if (std::find(quiet.begin(), quiet.end(), number) == quiet.end()) reply += " ^_^";
    return reply;
}

std::string Console::Go(const std::string& args) {
    const std::vector<std::string> words = Words(args);
    uint32_t address = 0;
    if (words.size() != 1 || !ParseHex(words[0], address)) return "\r\nusage: go <hex address>";
    // The firmware "runs" and hands back to the boot loader: a new session begins.
    unlocked_ = false;
    erases_ = 0;
    m_.Update([](BootSimReport& r) { r.started = true; });
    return Format("\r\nstarting firmware at 0x%x", address);
}

bool Console::Upload(const std::string& args, std::string& reply) {
    const std::vector<std::string> words = Words(args);
    uint32_t address = 0;
    if (words.size() != 1 || !ParseHex(words[0], address)) {
        reply = "\r\nusage: upload <hex address>";
        return true;
    }
    const UploadResult result = ReceiveUpload(m_);
    switch (result.end) {
        case UploadEnd::Closed:
        case UploadEnd::Unplugged:
            m_.Log(result.end == UploadEnd::Unplugged ? "line unplugged" : "stopped in upload");
            return false;
        case UploadEnd::Aborted:
            m_.Log("upload aborted after " + std::to_string(result.blocks) + " block(s)");
            break;
        case UploadEnd::GaveUp:
            m_.Log("upload gave up after " + std::to_string(result.blocks) + " block(s)");
            reply = "\r\nupload timed out";
            break;
        case UploadEnd::Done:
            uploadDone_ = true;
            m_.Log(Format("upload done, %u bytes in %u block(s)", unsigned(result.bytes),
                          unsigned(result.blocks)));
            reply = Format("\r\nupload done, %u bytes", unsigned(result.bytes));
            if (o_.onUpload) o_.onUpload(m_.Flash());
            break;
    }
    return true;
}

bool Console::NoPromptAfter(const std::string& line) const {
    for (const std::string& prefix : o_.noPromptAfter)
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace sim
