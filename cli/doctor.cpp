#include "cli/doctor.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/ports_listing.h"
#include "cli/terminal_text.h"
#include "ports/port_doctor.h"
#include "ports/udev_rule.h"

namespace {

using Json = nlohmann::json;

struct Verdict {
    PortFacts facts;
    std::vector<PortFinding> findings;
    bool ready;
};

// Device names, USB strings, drivers, links, holders' names and the user's
// own argument all come from outside: every line is shown escaped.
void Line(const std::string& label, const std::string& text) {
    if (!text.empty())
        std::printf("  %-14s %s\n", (label + ":").c_str(), TerminalText(text).c_str());
}

std::string DeviceLine(const PortFacts& f) {
    const PortDetails& d = f.details;
    std::string line = d.device;
    if (!d.name.empty() && d.name != d.device) line += " (" + d.name + ")";
    if (f.pseudoTerminal) line += ", a pseudo-terminal";
    if (!d.driver.empty()) line += ", driver " + d.driver;
    return line;
}

std::string UsbLine(const PortDetails& d) {
    if (d.vendorId.empty()) return std::string();
    std::string line = d.vendorId + ":" + d.productId;
    for (const std::string* part : {&d.vendor, &d.description})
        if (!part->empty()) line += " " + *part;
    return d.serial.empty() ? line + ", no serial number" : line + ", serial " + d.serial;
}

std::string AccessLine(const PortFacts& f) {
    if (f.windows || f.owner.empty()) return std::string();
    return "owner " + f.owner + ", group " + f.group + ", mode " + ModeText(f.mode) + ": " +
           f.userName + (f.mayOpen ? " may open it" : " may not open it");
}

std::string NeighbourLines(const PortFacts& f, std::string& brltty) {
    brltty = !f.brlttyInstalled     ? ""
             : f.brlttyRule.empty() ? "installed, leaves this chip alone"
                                    : "installed, claims this chip";
    if (!f.modemManagerRunning) return std::string();
    if (!f.udevSeesIt) return "running, cannot see this port (udev holds no entry for it)";
    return f.modemManagerIgnores ? "running, leaves this port alone" : "running, may probe it";
}

void PrintFacts(const PortFacts& f) {
    const PortDetails& d = f.details;
    Line("device", DeviceLine(f));
    Line("usb", UsbLine(d));
    Line("by-id", d.byId);
    Line("by-path", d.byPath);
    Line("access", AccessLine(f));
    if (d.latencyMs >= 0) Line("latency timer", std::to_string(d.latencyMs) + " ms");
    std::string brltty;
    Line("ModemManager", NeighbourLines(f, brltty));
    Line("brltty", brltty);
}

void PrintVerdict(const Verdict& v) {
    std::printf("%s: %s\n", TerminalText(v.facts.given).c_str(), v.ready ? "ready" : "not ready");
    if (v.facts.exists) PrintFacts(v.facts);
    for (const PortFinding& f : v.findings) {
        std::printf("  %-8s %s\n",
                    f.blocking ? "problem:" : "advice:", TerminalText(f.problem).c_str());
        if (!f.fix.empty()) std::printf("      fix: %s\n", TerminalText(f.fix).c_str());
    }
}

Json FactsJson(const PortFacts& f) {
    Json holders = Json::array();
    for (const PortHolder& h : f.holders) holders.push_back({{"pid", h.pid}, {"name", h.name}});
    Json facts = {{"exists", f.exists},
                  {"serial_port", f.isSerial},
                  {"pseudo_terminal", f.pseudoTerminal},
                  {"details", PortJson(f.details)},
                  {"holders", holders}};
    if (!f.windows && !f.owner.empty())
        facts["access"] = {{"owner", f.owner},
                           {"group", f.group},
                           {"mode", ModeText(f.mode)},
                           {"user", f.userName},
                           {"may_open", f.mayOpen}};
    if (!f.windows)
        facts["modemmanager"] = {{"running", f.modemManagerRunning},
                                 {"leaves_it_alone", f.modemManagerIgnores || !f.udevSeesIt}};
    if (!f.windows)
        facts["brltty"] = {
            {"installed", f.brlttyInstalled},
            {"claiming_rule", f.brlttyRule.empty() ? Json(nullptr) : Json(f.brlttyRule)}};
    return facts;
}

Json VerdictJson(const Verdict& v) {
    Json findings = Json::array();
    for (const PortFinding& f : v.findings)
        findings.push_back(
            {{"code", f.code}, {"blocking", f.blocking}, {"problem", f.problem}, {"fix", f.fix}});
    Json port = FactsJson(v.facts);
    port["port"] = v.facts.given;
    port["ready"] = v.ready;
    port["findings"] = findings;
    return port;
}

// Every port of the system, as `ports` lists them.
std::vector<std::string> AllPorts() {
    std::vector<std::string> names;
    for (const PortDetails& p : ListPortDetails()) names.push_back(p.device);
    return names;
}

int PrintUdevRule(const FlashOptions& o) {
    if (o.ports.size() != 1) {
        std::fputs("orvane-flash: --udev-rule takes exactly one --port\n", stderr);
        return ExitUsage;
    }
    PortFacts facts = GatherPortFacts(o.ports.front());
    std::string name = o.ruleName.empty() ? DefaultLinkName(facts) : o.ruleName;
    if (facts.windows) {
        std::fputs(
            "orvane-flash: udev rules are for Linux; on Windows a COM number already stays "
            "with the adapter's serial number or its USB socket\n",
            stderr);
        return ExitUsage;
    }
    if (!LinkNameIsValid(name)) {
        std::fprintf(stderr,
                     "orvane-flash: --name takes letters, digits, '.', '_' and '-', not '%s'\n",
                     TerminalText(name).c_str());
        return ExitUsage;
    }
    std::string rule, why;
    if (!facts.exists) why = "no such device: " + facts.given;
    if (!facts.exists || !MakeUdevRule(facts, name, rule, why)) {
        std::fprintf(stderr, "orvane-flash: %s\n", TerminalText(why).c_str());
        return ExitUpgradeFailed;
    }
    std::fputs(rule.c_str(), stdout);
    return ExitSuccess;
}

}  // namespace

int RunDoctor(const FlashOptions& o) {
    if (o.udevRule) return PrintUdevRule(o);
    std::vector<std::string> ports = o.ports.empty() ? AllPorts() : o.ports;
    bool allReady = !ports.empty();
    Json list = Json::array();
    for (const std::string& port : ports) {
        Verdict v{GatherPortFacts(port), {}, false};
        v.findings = JudgePort(v.facts);
        v.ready = PortIsReady(v.findings);
        allReady = allReady && v.ready;
        if (o.json)
            list.push_back(VerdictJson(v));
        else
            PrintVerdict(v);
    }
    if (o.json) {
        Json all = {{"ready", allReady}, {"ports", list}};
        std::printf("%s\n", all.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    } else if (ports.empty()) {
        std::fputs("no serial ports found; plug the adapter in, or name its port with -p\n",
                   stderr);
    }
    return allReady ? ExitSuccess : ExitUpgradeFailed;
}
