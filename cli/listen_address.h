// Where a server of ours listens (--listen ADDR:PORT) and the address a
// browser on this machine opens it at.
#pragma once
#include <string>

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:0"; an empty text changes nothing.
// False with the reason.
bool ParseListen(const std::string& listen, std::string& address, unsigned short& port,
                 std::string& why);

bool IsLoopback(const std::string& address);
// The host for this machine's browser: loopback when listening there or everywhere.
std::string LocalHostFor(const std::string& address);
