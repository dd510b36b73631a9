#include "cli/listen_address.h"

#include <cstdlib>

bool ParseListen(const std::string& listen, std::string& address, unsigned short& port,
                 std::string& why) {
    if (listen.empty()) return true;
    size_t colon = listen.find_last_of(':');
    if (colon == std::string::npos || colon == 0) {
        why = "--listen takes ADDR:PORT";
        return false;
    }
    std::string host = listen.substr(0, colon), number = listen.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    long value = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != 0 || value < 0 || value > 65535) {
        why = "--listen takes ADDR:PORT, a port of 0 to 65535";
        return false;
    }
    address = host;
    port = static_cast<unsigned short>(value);
    return true;
}

bool IsLoopback(const std::string& address) {
    return address == "127.0.0.1" || address == "::1" || address.compare(0, 4, "127.") == 0;
}

std::string LocalHostFor(const std::string& address) {
    if (IsLoopback(address) || address == "0.0.0.0" || address == "::") return "127.0.0.1";
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}
