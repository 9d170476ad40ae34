#include "paths.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "machine.h"
#include "registry_store.h"

namespace emu {

namespace fs = std::filesystem;

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The entry of dir whose name matches without regard to case; the exact
// name wins when both exist.
std::optional<std::string> MatchEntry(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec)) return name;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (NamesEqual(entry, name)) return entry;
    }
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> HostPath(std::string_view path) {
    for (std::string_view prefix : {"\\\\?\\", "\\??\\"}) {
        if (path.substr(0, prefix.size()) == prefix) path.remove_prefix(prefix.size());
    }
    fs::path base;
    if (path.size() >= 2 && path[1] == ':') {
        char drive = static_cast<char>(path[0] & ~0x20);
        if (drive == 'C') {
            std::optional<fs::path> root = MachineRoot();
            if (!root) return std::nullopt;
            base = *root / "drive_c";
        } else if (drive == 'Z') {
            base = "/";
        } else {
            return std::nullopt;
        }
        path.remove_prefix(2);
    } else if (!path.empty() && path[0] == '/') {
        base = "/";
    } else if (!path.empty() && path[0] == '\\') {
        std::optional<fs::path> root = MachineRoot();
        if (!root) return std::nullopt;
        base = *root / "drive_c";
    } else {
        std::error_code ec;
        base = fs::current_path(ec);
        if (ec) return std::nullopt;
    }

    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::string part(path.substr(start, end - start));
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }

    fs::path host = base;
    bool matching = true;
    for (const std::string& part : parts) {
        std::optional<std::string> entry = matching ? MatchEntry(host, part) : std::nullopt;
        if (!entry) matching = false;
        host /= entry ? *entry : part;
    }
    return host;
}

std::string WindowsPath(const fs::path& hostPath) {
    std::string text;
    std::optional<fs::path> root = MachineRoot();
    if (root) {
        fs::path driveC = fs::weakly_canonical(*root / "drive_c");
        fs::path absolute = fs::weakly_canonical(hostPath);
        auto [rootEnd, at] = std::mismatch(driveC.begin(), driveC.end(), absolute.begin(), absolute.end());
        if (rootEnd == driveC.end()) {
            text = "C:";
            for (; at != absolute.end(); ++at) text += "\\" + at->string();
            return text == "C:" ? "C:\\" : text;
        }
    }
    text = "Z:";
    for (const fs::path& part : fs::absolute(hostPath).relative_path()) text += "\\" + part.string();
    return text == "Z:" ? "Z:\\" : text;
}

}  // namespace emu
