#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "cli/terminal_text.h"
#include "orvane_version.h"

namespace {

const char kVersion[] = ORVANE_VERSION " (" ORVANE_GIT_DESCRIPTION ")";

const char kFooter[] =
    "\nExit status: 0 upgrade success, 1 upgrade failed, 2 usage error, 3 port not opened,\n"
    "4 invalid file type, 5 upgrade success but the report or recording asked for could\n"
    "not be written, 128+n interrupted by signal n (130 for Ctrl-C).\n"
    "Put the scanner into upgrade mode (its boot loader) and connect it before an upgrade,\n"
    "or give --wait to wait for it. 'orvane-flash ports' lists the serial ports.\n";

const char kUpgradeFooter[] =
    "\nExamples:\n"
    "  orvane-flash upgrade --port /dev/ttyUSB0 fw.bin\n"
    "  orvane-flash upgrade -p COM34 --wait fw.bin          wait for the scanner, then upgrade\n"
    "  orvane-flash upgrade -p ttyUSB0 -p ttyUSB1 --loop --report upgrades.jsonl fw.bin\n"
    "                                                       a production line: two ports, one\n"
    "                                                       scanner after another, a record each\n"
    "Standard output carries the bytes received from the scanner (an LF before each CR);\n"
    "progress, questions and the result go to standard error, the result message last.\n";

// Repeating an option is an error, not a silent choice between two values.
CLI::Option* Once(CLI::Option* option) {
    return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// -p/--port, as every command that names ports takes it.
CLI::Option* AddPorts(CLI::App* command, std::vector<std::string>& ports, const char* help) {
    return command->add_option("-p,--port", ports, help)
        ->allow_extra_args(false)
        ->type_name("PORT");
}

void AddVerbosity(CLI::App* command, bool& quiet, bool& verbose) {
    Once(command->add_flag("-q,--quiet", quiet, "Show only the final result line (and questions)"));
    Once(command->add_flag("-v,--verbose", verbose,
                           "Also show each command sent and each reply judged, with times"));
}

void AddUpgrade(CLI::App& app, FlashOptions& o, std::string& wait, bool& quiet, bool& verbose) {
    CLI::App* upgrade = app.add_subcommand(
        "upgrade", "Write a firmware image (.bin) or font file (.fon) into the scanner");
    upgrade->footer(kUpgradeFooter);
    AddPorts(upgrade, o.ports,
             "Serial port: COM<n> as 'ports' lists it, a device path, a device name\n"
             "(ttyUSB0) or a link to a device (/dev/serial/by-id/...); repeat it to\n"
             "upgrade several scanners at once")
        ->required();
    Once(upgrade->add_option("--access", o.access,
                             "Access word for a privileged mode, compared exactly"))
        ->type_name("WORD");
    Once(upgrade->add_flag("-y,--yes", o.yes, "Answer Yes to override questions"));
    Once(upgrade->add_flag("--kx5800", o.fontBox, "For font files: the KX5800/RLT4 target"));
    Once(upgrade->add_flag("--wait", wait,
                           "Wait for the scanner to appear in upgrade mode first; --wait=SECONDS\n"
                           "gives up after that long"))
        ->option_text("[=SECONDS]");
    Once(upgrade->add_flag("--loop", o.loop,
                           "Production mode: after each upgrade wait for this scanner to leave,\n"
                           "then for the next one; Ctrl-C ends after the upgrade in progress"));
    Once(upgrade->add_option("--report", o.report,
                             "Append one JSON line per upgrade to FILE (JSON Lines)"))
        ->type_name("FILE");
    Once(upgrade->add_option("--record", o.record,
                             "Record every byte that crosses the line, both ways, with its time:\n"
                             "into FILE, or with several ports or --loop one file per upgrade\n"
                             "in the folder FILE"))
        ->type_name("FILE");
    Once(upgrade->add_flag("--json", o.json,
                           "Write the run's events as JSON Lines on standard output, for\n"
                           "scripts (docs/events.md); the result last"));
    Once(upgrade->add_flag("--child", o.child, "(internal) one port of several"))->group("");
    Once(upgrade->add_flag("--skip-current", o.skipCurrent, "(internal) leave current scanners"))
        ->group("");
    AddVerbosity(upgrade, quiet, verbose);
    upgrade->add_option("IMAGE", o.image, "Firmware image (.bin) or font file (.fon)")
        ->required()
        ->type_name("");
}

const char kDoctorFooter[] =
    "\nExit status: 0 when every port checked is ready, 1 when one is not, 2 usage error.\n"
    "Examples:\n"
    "  orvane-flash doctor                        every port of this system\n"
    "  orvane-flash doctor -p /dev/ttyUSB0 --json\n"
    "  orvane-flash doctor --udev-rule -p ttyUSB0 --name scanner1 |\n"
    "      sudo tee /etc/udev/rules.d/70-orvane-scanner1.rules\n";

void AddDoctor(CLI::App& app, FlashOptions& o) {
    CLI::App* doctor = app.add_subcommand(
        "doctor", "Check that ports are ready for an upgrade, and name the fix for what is not");
    doctor->footer(kDoctorFooter);
    AddPorts(doctor, o.ports,
             "Serial port, as for upgrade; repeat it for several; every port of the\n"
             "system when none is named");
    CLI::Option* json = Once(doctor->add_flag("--json", o.json, "Print the verdicts as JSON"));
    CLI::Option* rule = Once(doctor->add_flag(
        "--udev-rule", o.udevRule,
        "Print a udev rule for the one port named: a stable link, access for the\n"
        "logged-in user and the serial group, ModemManager kept away, a 1 ms FTDI\n"
        "latency timer"));
    Once(doctor->add_option("--name", o.ruleName, "The link the rule makes: /dev/NAME"))
        ->type_name("NAME")
        ->needs(rule);
    json->excludes(rule);
}

const char kStationFooter[] =
    "\nIt prints the address of its page (with the run's token) and opens it in the\n"
    "default browser. Ctrl-C once: finish the upgrades in progress, then stop; twice: stop\n"
    "at once. The page has the same two buttons.\n"
    "Examples:\n"
    "  orvane-flash station fw.bin -p ttyUSB0 -p ttyUSB1 -p ttyUSB2 --report bench.jsonl\n"
    "  orvane-flash station fw.bin --slots bench.slots --operator Ann --lot L-042\n"
    "  orvane-flash station fw.bin --slots bench.slots --line http://line.plant:8470 \\\n"
    "      --station bench-3 --station-key bench-3.key   every record to the line server\n"
    "A slots file holds a slot per line, its label then its port:\n"
    "  A1 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0\n";

// A station on a line: each needs the others, the spool only a line.
void AddStationLine(CLI::App* station, FlashOptions& o) {
    CLI::Option* line = Once(station->add_option(
        "--line", o.lineUrl, "Deliver every record to the line server at URL (http://HOST:PORT)"));
    CLI::Option* name =
        Once(station->add_option("--station", o.stationName, "This station's name on the line"));
    CLI::Option* key = Once(station->add_option(
        "--station-key", o.stationKeyFile,
        "The file of this station's key, as 'orvane-flash line add-station' printed it"));
    CLI::Option* spool = Once(station->add_option(
        "--spool", o.spool,
        "Keep the records waiting for the line in FILE (default: the user's state folder)"));
    line->type_name("URL")->needs(name)->needs(key);
    name->type_name("NAME")->needs(line);
    key->type_name("FILE")->needs(line);
    spool->type_name("FILE")->needs(line);
}

void AddStation(CLI::App& app, FlashOptions& o, bool& verbose) {
    CLI::App* station = app.add_subcommand(
        "station", "Upgrade scanner after scanner on many ports, shown in a browser page");
    station->footer(kStationFooter);
    AddPorts(station, o.ports, "Serial port of a slot, as for upgrade; repeat it for each slot");
    Once(station->add_option("--slots", o.slotsFile,
                             "Slots from FILE: a line per slot, its label and its port"))
        ->type_name("FILE");
    Once(station->add_option("--access", o.access,
                             "Access word for a privileged mode, compared exactly"))
        ->type_name("WORD");
    Once(station->add_flag("-y,--yes", o.yes, "Answer Yes to override questions"));
    Once(station->add_flag("--kx5800", o.fontBox, "For font files: the KX5800/RLT4 target"));
    Once(station->add_option("--report", o.report, "Append one JSON line per upgrade to FILE"))
        ->type_name("FILE");
    Once(station->add_option("--record", o.record,
                             "Record every upgrade's bytes, a file each in the folder FILE"))
        ->type_name("FILE");
    Once(station->add_option("--operator", o.operatorName, "The operator, in every record"))
        ->type_name("NAME");
    Once(station->add_option("--lot", o.lot, "The lot, in every record"))->type_name("LOT");
    Once(station->add_option("--listen", o.listen,
                             "Serve the page on ADDR:PORT (default: 127.0.0.1, any free port);\n"
                             "on another address a second token gives a read-only view"))
        ->type_name("ADDR:PORT");
    Once(station->add_flag("--no-browser", o.noBrowser, "Do not open the page in a browser"));
    Once(station->add_flag("--reinstall", o.reinstall,
                           "Upgrade scanners that hold the image's version already, too"));
    Once(station->add_flag("-v,--verbose", verbose, "Show the dialogue with every scanner"));
    AddStationLine(station, o);
    station->add_option("IMAGE", o.image, "Firmware image (.bin) or font file (.fon)")
        ->required()
        ->type_name("");
}

#ifdef ORVANE_LINE
const char kLineFooter[] =
    "\nCONNINFO is libpq's: \"host=db.plant dbname=upgrades user=line\"; keep a password in\n"
    "~/.pgpass rather than here, where every user of the machine can see it. Each\n"
    "command creates or migrates the database's tables first.\n"
    "Examples:\n"
    "  orvane-flash line serve --db \"dbname=upgrades\" --listen 0.0.0.0:8470 --host-name line.plant\n"
    "  orvane-flash line add-station bench-3 --db \"dbname=upgrades\" | tail -n 1 > bench-3.key\n"
    "  orvane-flash line revoke-station bench-3 --db \"dbname=upgrades\"\n";

void AddLine(CLI::App& app, FlashOptions& o) {
    CLI::App* line =
        app.add_subcommand("line", "Serve a line of stations; keep its database and stations");
    line->footer(kLineFooter);
    line->require_subcommand(1);
    CLI::App* add = line->add_subcommand("add-station", "Add a station; prints its key last");
    CLI::App* revoke = line->add_subcommand("revoke-station", "End a station's key");
    CLI::App* token =
        line->add_subcommand("new-view-token", "Replace the supervisor page's view token");
    CLI::App* serve = line->add_subcommand(
        "serve", "Take the stations' records into the database; serve the supervisor's page");
    Once(serve->add_option("--listen", o.listen,
                           "Listen on ADDR:PORT (default: 127.0.0.1, any free port)"))
        ->type_name("ADDR:PORT");
    serve->add_option("--host-name", o.hostNames,
                      "A name stations and browsers reach it by (repeat it for each)")
        ->type_name("NAME");
    Once(serve->add_flag("--no-browser", o.noBrowser, "Do not open the page in a browser"));
    for (CLI::App* action : {serve, add, revoke, token}) {
        action->add_option("--db", o.db, "The database, as a libpq connection string")
            ->required()
            ->type_name("CONNINFO");
        if (action == add || action == revoke)
            action->add_option("NAME", o.stationName, "The station's name")
                ->required()
                ->type_name("");
        action->callback([&o, action] { o.lineAction = action->get_name(); });
    }
}
#endif

void AddOthers(CLI::App& app, FlashOptions& o, bool& verbose) {
    AddStation(app, o, verbose);
    CLI::App* info = app.add_subcommand("info", "Show the identity an image's header carries");
    info->add_option("IMAGE", o.image, "Firmware image or font file")->required()->type_name("");
    CLI::App* monitor =
        app.add_subcommand("monitor", "Show what arrives on a port at 9600 baud until Ctrl-C");
    Once(AddPorts(monitor, o.ports, "Serial port, as for upgrade")->required());
    Once(monitor->add_option("--record", o.record, "Record what arrives, with its time, into FILE"))
        ->type_name("FILE");
    CLI::App* ports =
        app.add_subcommand("ports", "List the serial ports with their devices and USB details");
    Once(ports->add_flag("--json", o.json, "Print them as JSON, for scripts"));
    AddDoctor(app, o);
#ifdef ORVANE_LINE
    AddLine(app, o);
#endif
}

bool TakeWait(const std::string& wait, FlashOptions& o) {
    if (wait.empty()) return true;
    o.wait = true;
    if (wait == "true") return true;  // --wait without a number
    char* end = nullptr;
    long seconds = std::strtol(wait.c_str(), &end, 10);
    if (*end != 0 || seconds < 0 || seconds > 86400 * 365) {
        std::fprintf(stderr, "orvane-flash: --wait takes a number of seconds, not '%s'\n",
                     TerminalText(wait).c_str());
        return false;
    }
    o.waitSeconds = static_cast<int>(seconds);
    return true;
}

}  // namespace

int ParseFlashOptions(int argc, char** argv, FlashOptions& o) {
    CLI::App app("Upgrades the firmware of an Orvane 5800 imager over a serial line.",
                 "orvane-flash");
    app.set_version_flag("--version", FlashVersionText());
    app.require_subcommand(1);
    app.footer(kFooter);
    std::string wait;
    bool quiet = false, verbose = false;
    AddUpgrade(app, o, wait, quiet, verbose);
    AddOthers(app, o, verbose);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version on standard output; an error echoes arguments, so escaped.
        if (e.get_exit_code() == 0) return app.exit(e) == 0 ? ExitSuccess : ExitUsage;
        std::fprintf(stderr, "%s\nRun with --help for more information.\n",
                     TerminalText(e.what()).c_str());
        return ExitUsage;
    }
    o.command = app.get_subcommands().front()->get_name();
    const CLI::Option* access = app.get_subcommands().front()->get_option_no_throw("--access");
    o.hasAccess = access && access->count() > 0;
    if (quiet && verbose) {
        std::fputs("orvane-flash: -q and -v exclude each other\n", stderr);
        return ExitUsage;
    }
    o.verbosity = quiet ? Quiet : verbose ? Verbose : Normal;
    return TakeWait(wait, o) ? -1 : ExitUsage;
}

std::string FlashVersionText() {
    return std::string("orvane-flash ") + kVersion;
}

std::vector<std::string> ChildArguments(const FlashOptions& o, const std::string& port) {
    std::vector<std::string> args = {"upgrade", "--child", "--port", port};
    if (o.hasAccess) args.insert(args.end(), {"--access", o.access});
    if (o.yes) args.push_back("--yes");
    if (o.fontBox) args.push_back("--kx5800");
    if (o.wait)
        args.push_back(o.waitSeconds < 0 ? "--wait" : "--wait=" + std::to_string(o.waitSeconds));
    if (o.loop) args.push_back("--loop");
    if (!o.report.empty()) args.insert(args.end(), {"--report", o.report});
    if (!o.record.empty()) args.insert(args.end(), {"--record", o.record});
    if (o.verbosity == Verbose) args.push_back("-v");
    if (o.skipCurrent) args.push_back("--skip-current");
    args.push_back("--");
    args.push_back(o.image);
    return args;
}
