// The boot loader's line console: echo, line editing and the commands.
#pragma once
#include <string>

#include "sim/sim_machine.h"

namespace sim {

class Console {
   public:
    explicit Console(SimMachine& machine) : m_(machine), o_(machine.Options()) {}

    // Serves the line until the emulator stops or the line is unplugged.
    void Serve();

   private:
    bool Take(uint8_t byte);  // false once serving has to end
    const EchoFault* FiringEchoFault() const;
    bool Execute();
    void Wake();
    std::string KeyCode(const std::string& line);
    std::string Whoru();
    std::string Erase(const std::string& args);
    std::string Go(const std::string& args);
    bool Upload(const std::string& args, std::string& reply);
    bool NoPromptAfter(const std::string& line) const;
    std::string Prompt() const { return o_.wrongPrompt ? "\r\nboot>" : "\r\nBoot>"; }

    SimMachine& m_;
    const BootSimOptions& o_;
    std::string line_;         // typed so far, raw bytes
    bool unlocked_ = false;    // an accepted key code came in this session
    int erases_ = 0;           // erase commands in this session
    bool uploadDone_ = false;  // some upload has completed
};

}  // namespace sim
