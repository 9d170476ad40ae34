#include "paths.h"

#include "../platform.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "errors.h"
#include "machine.h"
#include "registry_tree.h"

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

// The names of a path, after those given, as Windows folds them: any run of
// separators parts two names, "." and ".." resolve (never above the root),
// and the dots and blanks that end the path are dropped.
std::vector<std::string> FoldedNames(std::string_view path, std::vector<std::string> names = {}) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::string name(path.substr(start, end - start));
        if (name == "..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        start = end + 1;
    }
    while (!names.empty()) {
        std::string& last = names.back();
        last.erase(last.find_last_not_of(". ") + 1);
        if (!last.empty()) break;
        names.pop_back();
    }
    return names;
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

    std::vector<std::string> parts = FoldedNames(path);
    fs::path host = base;
    bool matching = true;
    for (const std::string& part : parts) {
        std::optional<std::string> entry = matching ? MatchEntry(host, part) : std::nullopt;
        if (!entry) matching = false;
        host /= entry ? *entry : part;
    }
    return host;
}

std::string FullWindowsPath(std::string_view path) {
    for (std::string_view prefix : {"\\\\?\\", "\\??\\"}) {
        if (path.substr(0, prefix.size()) == prefix) return std::string(path.substr(prefix.size()));
    }
    if (!path.empty() && path[0] == '/') {
        std::optional<fs::path> host = HostPath(path);
        return host ? WindowsPath(*host) : std::string(path);
    }
    std::string base;
    if (path.size() >= 2 && path[1] == ':') {
        base = std::string(1, static_cast<char>(path[0] & ~0x20)) + ":";
        path.remove_prefix(2);
    } else if (!path.empty() && IsSeparator(path[0])) {
        base = "C:";
    }
    if (!path.empty() && !IsSeparator(path[0])) {
        // Relative to the current directory, when that is on the drive named.
        std::error_code ec;
        std::string current = WindowsPath(fs::current_path(ec));
        if (!ec && (base.empty() || NamesEqual(current.substr(0, 2), base))) base = current;
        if (base.empty()) base = "C:";
    }

    std::vector<std::string> parts = FoldedNames(path, FoldedNames(std::string_view(base).substr(2)));
    std::string full = base.substr(0, 2);
    for (const std::string& part : parts) full += "\\" + part;
    return parts.empty() ? full + "\\" : full;
}

bool IsValidPath(std::string_view path, bool pattern) {
    for (std::string_view prefix : {"\\\\?\\", "\\??\\"}) {
        if (path.substr(0, prefix.size()) == prefix) path.remove_prefix(prefix.size());
    }
    if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
    size_t lastName = path.find_last_of("\\/");
    lastName = lastName == std::string_view::npos ? 0 : lastName + 1;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        const bool wildcard = c == '*' || c == '?' || c == '<' || c == '>' || c == '"';
        if ((wildcard && !(pattern && i >= lastName)) || c == ':' || c == '|' ||
            (c > 0 && c < 0x20))
            return false;
    }
    return true;
}

std::optional<fs::path> Resolve(const char* windowsPath, uint32_t& error, bool pattern) {
    error = ERROR_PATH_NOT_FOUND;
    if (!windowsPath || !*windowsPath || !MachineRoot()) return std::nullopt;
    if (std::strlen(windowsPath) >= MAX_PATH) {
        error = kErrorFilenameTooLong;
        return std::nullopt;
    }
    if (!IsValidPath(windowsPath, pattern)) {
        error = kErrorInvalidName;
        return std::nullopt;
    }
    return HostPath(windowsPath);
}

bool EndsWithSeparator(std::string_view path) { return !path.empty() && IsSeparator(path.back()); }

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
