#include "cli/output_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/terminal_text.h"

namespace fs = std::filesystem;

namespace {

enum { MostLinksFollowed = 32 };

// The path a name stands for, its links followed as far as they go, also
// when the last one names nothing yet.
fs::path Resolved(const std::string& name) {
    std::error_code ec;
    fs::path p = fs::absolute(name, ec);
    for (int i = 0; i < MostLinksFollowed && fs::is_symlink(fs::symlink_status(p, ec)); ++i) {
        fs::path target = fs::read_symlink(p, ec);
        if (ec) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    fs::path canonical = fs::weakly_canonical(p, ec);
    return ec ? p.lexically_normal() : canonical;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ea, eb, ec;
    if (fs::exists(a, ea) && fs::exists(b, eb)) return fs::equivalent(a, b, ec) && !ec;
    return Resolved(a) == Resolved(b);
}

bool Refuse(const std::string& text) {
    std::fprintf(stderr, "orvane-flash: %s\n", TerminalText(text).c_str());
    return false;
}

struct Output {
    const char* option;
    std::string path;
    bool folder;
};

// What stands at the path now: nothing, a link to nothing, or the kind wanted.
bool KindIsFit(const Output& out) {
    std::error_code ec;
    fs::file_status status = fs::status(out.path, ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (out.folder)
        return fs::is_directory(status) ||
               Refuse(out.option + (" " + out.path) + " is not a folder");
    return fs::is_regular_file(status) ||
           Refuse(out.option + (" " + out.path) + " is not a regular file");
}

}  // namespace

bool RecordsToFolder(const FlashOptions& o) {
    return o.child || o.loop || o.ports.size() > 1;
}

bool CheckOutputs(const FlashOptions& o) {
    std::vector<Output> outputs;
    if (!o.report.empty()) outputs.push_back({"--report", o.report, false});
    if (!o.record.empty()) outputs.push_back({"--record", o.record, RecordsToFolder(o)});
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Output& out = outputs[i];
        if (!o.image.empty() && SameFile(out.path, o.image))
            return Refuse(out.option + (" " + out.path) + " is the image " + o.image +
                          ": it would be overwritten");
        for (size_t j = 0; j < i; ++j)
            if (SameFile(out.path, outputs[j].path))
                return Refuse(std::string(out.option) + " and " + outputs[j].option +
                              " name the same file " + out.path);
        if (!KindIsFit(out)) return false;
    }
    return true;
}

bool AppendOutputLine(const std::string& path, const std::string& line, std::string& why) {
    std::FILE* file = OpenOutputFile(path, false, why);
    if (!file) return false;
    std::string text = line + '\n';
    bool written =
        std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    if (!written) why = std::strerror(errno);
    if (std::fclose(file) != 0 && written) {
        why = std::strerror(errno);
        written = false;
    }
    return written;
}
