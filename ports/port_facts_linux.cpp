// The look at a port on Linux: sysfs, the udev database, /proc and the group
// database, for `orvane-flash doctor`.
#include "ports/port_facts_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "ports/port_details.h"
#include "ports/port_facts.h"
#include "serial/serial_posix_calls.h"
#include "shell/port_map.h"
#include "shell/port_map_linux.h"

namespace fs = std::filesystem;

namespace {

using Properties = std::map<std::string, std::string>;

std::string systemRoot;  // empty: the real system
const DoctorUser* userOverride = nullptr;

// Where udev reads rules, earliest first: a name found early hides the same name later.
const char* const ruleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                   "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

std::string Rooted(const std::string& path) {
    return systemRoot + path;
}

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool IsNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), ::isdigit);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The udev database's properties of a tty ("E:KEY=VALUE" lines); false when
// udev holds no entry for it.
bool ReadUdevProperties(const fs::path& ttyEntry, Properties& props) {
    std::string numbers = FirstLine(ttyEntry / "dev");  // "188:0"
    std::ifstream in(Rooted("/run/udev/data/c" + numbers));
    if (numbers.empty() || !in) return false;
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (line.compare(0, 2, "E:") == 0 && eq != std::string::npos)
            props[line.substr(2, eq - 2)] = line.substr(eq + 1);
    }
    return true;
}

bool Is(const Properties& props, const char* key, const char* value) {
    auto it = props.find(key);
    return it != props.end() && it->second == value;
}

// ModemManager looks only at candidates, and not at ports tagged to be left alone.
bool ModemManagerIgnores(const Properties& props) {
    return !Is(props, "ID_MM_CANDIDATE", "1") || Is(props, "ID_MM_DEVICE_IGNORE", "1") ||
           Is(props, "ID_MM_PORT_IGNORE", "1") || Is(props, "ID_MM_TTY_MANUAL_SCAN_ONLY", "1") ||
           Is(props, "ID_MM_TTY_BLACKLIST", "1");
}

template <typename Visit>
void ForEachProcess(Visit visit) {
    std::error_code ec;
    std::string self = std::to_string(getpid());
    for (const fs::directory_entry& p : fs::directory_iterator(Rooted("/proc"), ec)) {
        std::string pid = p.path().filename().string();
        if (IsNumber(pid) && pid != self) visit(p.path(), std::atoi(pid.c_str()));
    }
}

bool ModemManagerRunning() {
    bool running = false;
    ForEachProcess([&](const fs::path& dir, int) {
        running = running || FirstLine(dir / "comm") == "ModemManager";
    });
    return running;
}

// The pseudo-terminal a master descriptor serves, from its fdinfo; -1 for others.
int MasterIndex(const fs::path& processDir, const fs::path& fd, const std::string& target) {
    if (target != "/dev/ptmx" && target != "/dev/pts/ptmx") return -1;
    std::ifstream in(processDir / "fdinfo" / fd.filename());
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 10, "tty-index:") == 0) return std::atoi(line.c_str() + 10);
    return -1;
}

// One line of /etc/group or /etc/passwd, split at its colons.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1)
        fields.push_back(line.substr(start, colon - start));
    fields.push_back(line.substr(start));
    return fields;
}

// The entry of `file` whose field `keyField` is `key`; empty when none.
std::vector<std::string> DatabaseEntry(const char* file, size_t keyField, const std::string& key) {
    std::ifstream in(Rooted(file));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() > keyField && f[keyField] == key) return f;
    }
    return {};
}

bool ListsMember(const std::vector<std::string>& group, const std::string& user) {
    std::string members = group.size() > 3 ? "," + group[3] + "," : "";
    return !user.empty() && members.find("," + user + ",") != std::string::npos;
}

DoctorUser CurrentUser() {
    if (userOverride) return *userOverride;
    DoctorUser u = {static_cast<int>(getuid()), static_cast<int>(getgid()), {}, ""};
    gid_t groups[256];
    int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i) u.groups.push_back(static_cast<int>(groups[i]));
    std::vector<std::string> entry = DatabaseEntry("/etc/passwd", 2, std::to_string(u.uid));
    u.name = entry.empty() ? std::to_string(u.uid) : entry[0];
    return u;
}

void LookAtAccess(const std::string& device, PortFacts& f) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0) return;
    DoctorUser u = CurrentUser();
    int gid = static_cast<int>(st.st_gid);
    std::vector<std::string> owner = DatabaseEntry("/etc/passwd", 2, std::to_string(st.st_uid));
    std::vector<std::string> group = DatabaseEntry("/etc/group", 2, std::to_string(gid));
    std::vector<std::string> self = DatabaseEntry("/etc/passwd", 0, u.name);
    f.userName = u.name;
    f.mode = st.st_mode & 07777;
    f.owner = owner.empty() ? std::to_string(st.st_uid) : owner[0];
    f.group = group.empty() ? std::to_string(gid) : group[0];
    f.groupMayUse = (f.mode & 060) == 060 && gid != 0;
    f.inGroupNow = u.gid == gid || std::count(u.groups.begin(), u.groups.end(), gid) > 0;
    f.inGroupListed =
        ListsMember(group, u.name) || (self.size() > 3 && self[3] == std::to_string(gid));
    bool ownerMay = u.uid == static_cast<int>(st.st_uid) && (f.mode & 0600) == 0600;
    bool groupMay = f.inGroupNow && (f.mode & 060) == 060;
    // access() also knows access control lists, for the user running this.
    bool real = !userOverride && systemRoot.empty();
    f.mayOpen = u.uid == 0 || ownerMay || groupMay || (f.mode & 06) == 06 ||
                (real && access(device.c_str(), R_OK | W_OK) == 0);
    f.serialGroup = f.groupMayUse ? f.group : "";
    for (const char* name : {"dialout", "uucp"})
        if (f.serialGroup.empty() && !DatabaseEntry("/etc/group", 0, name).empty())
            f.serialGroup = name;
}

// ENV{PRODUCT} carries the ids in hex without their leading zeros: "1a86/7523/...".
std::string ProductKey(const std::string& vendor, const std::string& product) {
    auto bare = [](const std::string& id) {
        size_t first = id.find_first_not_of('0');
        return first == std::string::npos ? std::string("0") : Lower(id.substr(first));
    };
    return "\"" + bare(vendor) + "/" + bare(product) + "/";
}

bool LineNamesChip(std::string line, const std::string& vendor, const std::string& product) {
    line = Lower(line);
    if (line.empty() || line[0] == '#') return false;
    if (line.find(ProductKey(vendor, product)) != std::string::npos) return true;
    return line.find("idvendor}==\"" + Lower(vendor) + "\"") != std::string::npos &&
           line.find("idproduct}==\"" + Lower(product) + "\"") != std::string::npos;
}

// A rule file that is empty or a link to /dev/null masks the same name in later folders.
bool Masked(const fs::path& file) {
    std::error_code ec;
    return fs::read_symlink(file, ec) == "/dev/null" || fs::file_size(file, ec) == 0;
}

// The brltty rule file udev reads that names this chip, or empty.
std::string BrlttyRuleFor(const std::string& vendor, const std::string& product) {
    if (vendor.empty()) return std::string();
    std::set<std::string> seen;
    for (const char* folder : ruleFolders) {
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(Rooted(folder), ec)) {
            std::string name = e.path().filename().string();
            if (name.find("brltty") == std::string::npos || !seen.insert(name).second) continue;
            if (Masked(e.path())) continue;
            std::ifstream in(e.path());
            for (std::string line; std::getline(in, line);)
                if (LineNamesChip(line, vendor, product)) return e.path().string();
        }
    }
    return std::string();
}

// The device a port name leads to: a path, or a COM number's device; empty when neither.
std::string DeviceFor(const std::string& given) {
    std::string entry = ResolvePortName(given);
    if (!entry.empty() && entry[0] == '/') return entry;
    char path[256];
    bool com = entry.size() > 3 && Lower(entry.substr(0, 3)) == "com" && IsNumber(entry.substr(3));
    if (com && FormatPortDevice(std::atoi(entry.c_str() + 3), path, sizeof path)) return path;
    return std::string();
}

// Opened as an upgrade opens it, and closed at once.
SerialOpenFailure TrialOpen(const std::string& device, bool& isTerminal) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SerialFailureFromErrno(errno);
    isTerminal = isatty(fd) == 1;
    SerialOpenFailure why = SerialOpenOk;
    if (!isTerminal)
        why = SerialNotSerial;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        why = SerialBusy;
    close(fd);
    return why;
}

void LookAtDevice(PortFacts& f) {
    const std::string& device = f.details.device;
    std::error_code ec;
    fs::path real = fs::canonical(device, ec);
    std::string pts = Rooted("/dev/pts/");
    f.pseudoTerminal = real.string().compare(0, pts.size(), pts) == 0;
    bool listed = DetailsOfDevice(device, f.details);
    struct stat st;
    bool character = stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    f.isSerial = listed || f.pseudoTerminal;
    if (!systemRoot.empty()) return;
    bool terminal = false;
    f.openTried = true;
    f.openFailure = TrialOpen(device, terminal);
    f.isSerial = f.isSerial || terminal || (f.openFailure != SerialOpenOk && character);
}

void LookAtNeighbours(PortFacts& f, const std::string& ttyName) {
    fs::path entry = fs::path(Rooted("/sys/class/tty")) / ttyName;
    Properties props;
    f.udevSeesIt = ReadUdevProperties(entry, props);
    f.usbPath = props["ID_PATH"];
    f.usbInterface = props["ID_USB_INTERFACE_NUM"];
    f.usbDevice = fs::path(UsbDeviceFolder(ttyName)).filename().string();
    f.modemManagerIgnores = ModemManagerIgnores(props);
    f.brlttyRule = f.brlttyInstalled ? BrlttyRuleFor(f.details.vendorId, f.details.productId) : "";
}

}  // namespace

// Processes with the device open. The process that holds a pseudo-terminal's
// master is its far end (an emulated scanner, say), not a holder.
std::vector<PortHolder> Holders(const std::string& device, int ptyIndex) {
    std::error_code ec;
    std::string target = fs::canonical(device, ec).string();
    if (ec) return {};
    std::vector<PortHolder> holders;
    ForEachProcess([&](const fs::path& dir, int pid) {
        bool holds = false, farEnd = false;
        std::error_code fdError;
        for (const fs::directory_entry& fd : fs::directory_iterator(dir / "fd", fdError)) {
            std::error_code linkError;
            std::string link = fs::read_symlink(fd.path(), linkError).string();
            holds = holds || link == target;
            farEnd = farEnd || (ptyIndex >= 0 && MasterIndex(dir, fd.path(), link) == ptyIndex);
        }
        if (holds && !farEnd) holders.push_back({pid, FirstLine(dir / "comm")});
    });
    return holders;
}

void SetSystemRoot(const char* root) {
    systemRoot = root ? root : "";
    std::string tty = systemRoot + "/sys/class/tty", dev = systemRoot + "/dev";
    SetPortMapRoots(root ? tty.c_str() : nullptr, root ? dev.c_str() : nullptr);
}

void SetDoctorUser(const DoctorUser* user) {
    userOverride = user;
}

bool BrlttyInstalled() {
    std::error_code ec;
    for (const char* program : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty"})
        if (fs::exists(Rooted(program), ec)) return true;
    return false;
}

PortFacts GatherPortFacts(const std::string& given) {
    PortFacts f;
    f.given = given;
    f.details.device = DeviceFor(given);
    std::error_code ec;
    f.exists = !f.details.device.empty() && fs::exists(f.details.device, ec);
    f.brlttyInstalled = BrlttyInstalled();
    if (!f.exists) return f;
    LookAtDevice(f);
    LookAtAccess(f.details.device, f);
    int ptyIndex = -1;
    std::string name = fs::canonical(f.details.device, ec).filename().string();
    if (f.pseudoTerminal && IsNumber(name)) ptyIndex = std::atoi(name.c_str());
    f.holders = Holders(f.details.device, ptyIndex);
    f.modemManagerRunning = ModemManagerRunning();
    if (!f.pseudoTerminal) LookAtNeighbours(f, name);
    f.latencyFix = LatencyTimerFix(f.details);
    return f;
}
