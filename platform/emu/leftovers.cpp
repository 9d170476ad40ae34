#include "leftovers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace emu {

namespace fs = std::filesystem;

namespace {

constexpr char kStoreTemp[] = ".tmp.";
constexpr char kCopy[] = "copy";
constexpr char kNote[] = "away";
constexpr char kBeside[] = ".vtn2-copy.";

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

struct ProcessStat {
    char state = '?';
    std::string start;
};

// A process's state and start time (clock ticks since boot) from /proc/PID/stat.
std::optional<ProcessStat> ReadStat(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    size_t nameEnd = text.rfind(')');  // the name may hold blanks and parentheses
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(nameEnd + 1));
    ProcessStat stat;
    std::string skipped;
    fields >> stat.state;
    for (int field = 4; field < 22; ++field) fields >> skipped;
    if (!(fields >> stat.start)) return std::nullopt;
    return stat;
}

std::string OwnerTag() {
    std::string pid = std::to_string(::getpid());
    std::optional<ProcessStat> self = ReadStat(pid);
    return pid + "." + (self ? self->start : "0");
}

// Whether the process that made a temporary file may still be at work on it;
// start, when known (not "0"), tells it from a later process with the same pid.
bool Running(const std::string& pid, const std::string* start) {
    std::optional<ProcessStat> stat = ReadStat(pid);
    if (!stat) {
        std::error_code ec;
        if (fs::exists("/proc/self/stat", ec) || pid.size() > 9) return false;
        return ::kill(static_cast<pid_t>(std::stol(pid)), 0) == 0 || errno == EPERM;
    }
    if (stat->state == 'Z' || stat->state == 'X') return false;
    return !start || *start == "0" || *start == stat->start;
}

std::vector<fs::path> RegularFiles(const fs::path& directory) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statEc;
        if (it->symlink_status(statEc).type() == fs::file_type::regular) files.push_back(it->path());
    }
    return files;
}

// ROOT/<store>.tmp.<pid>: its pid, or nothing for any other name.
std::optional<std::string> StoreTempOwner(const std::string& name) {
    size_t at = name.rfind(kStoreTemp);
    if (at == 0 || at == std::string::npos || name[0] == '.') return std::nullopt;
    std::string pid = name.substr(at + sizeof kStoreTemp - 1);
    if (!AllDigits(pid)) return std::nullopt;
    return pid;
}

struct Owned {
    std::string kind, pid, start;
};

// ROOT/tmp/<kind>.<pid>.<start>.<unique>.
std::optional<Owned> TempOwner(const std::string& name) {
    std::vector<std::string> parts;
    std::istringstream in(name);
    for (std::string part; parts.size() < 3 && std::getline(in, part, '.');) parts.push_back(part);
    if (parts.size() < 3 || in.peek() == EOF || !AllDigits(parts[1]) || !AllDigits(parts[2]))
        return std::nullopt;
    return Owned{parts[0], parts[1], parts[2]};
}

// A note's copy beside its destination, when the note names one of its owner's.
void RemoveNamedCopy(const fs::path& note, const Owned& owner) {
    std::ifstream in(note, std::ios::binary);
    std::string named{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    fs::path copy(named);
    std::string prefix = kBeside + owner.pid + "." + owner.start + ".";
    std::error_code ec;
    if (copy.is_absolute() && copy.filename().string().rfind(prefix, 0) == 0 &&
        fs::symlink_status(copy, ec).type() == fs::file_type::regular)
        fs::remove(copy, ec);
}

}  // namespace

void SweepLeftovers(const fs::path& root) {
    std::error_code ec;
    for (const fs::path& file : RegularFiles(root)) {
        const std::string name = file.filename().string();
        std::optional<std::string> pid = StoreTempOwner(name);
        if (!pid || Running(*pid, nullptr)) continue;
        // A store is written only under its lock, and a pid is all its
        // temporary file's name carries: a process that got the dead one's
        // pid may be writing it now. Whoever holds the lock decides; a busy
        // lock leaves the file for a later sweep.
        const fs::path lock = root / (name.substr(0, name.rfind(kStoreTemp)) + ".lock");
        int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0) fs::remove(file, ec);
        if (fd >= 0) ::close(fd);
    }
    for (const fs::path& file : RegularFiles(root / "tmp")) {
        std::optional<Owned> owner = TempOwner(file.filename().string());
        if (!owner || (owner->kind != kCopy && owner->kind != kNote) ||
            Running(owner->pid, &owner->start))
            continue;
        if (owner->kind == kNote) RemoveNamedCopy(file, *owner);
        fs::remove(file, ec);
    }
}

void SweepLeftoversOnce(const fs::path& root) {
    static std::mutex lock;
    static std::set<std::string> swept;
    std::lock_guard<std::mutex> hold(lock);
    if (swept.insert(fs::absolute(root).lexically_normal().string()).second) SweepLeftovers(root);
}

namespace {

// Whether a rename can take a file from one directory into the other.
bool SameMount(const fs::path& a, const fs::path& b) {
    struct statx first {}, second {};
    const unsigned mask = STATX_BASIC_STATS | STATX_MNT_ID;
    if (::statx(AT_FDCWD, a.c_str(), 0, mask, &first) != 0 ||
        ::statx(AT_FDCWD, b.c_str(), 0, mask, &second) != 0)
        return false;
    if (first.stx_dev_major != second.stx_dev_major || first.stx_dev_minor != second.stx_dev_minor)
        return false;
    return !(first.stx_mask & second.stx_mask & STATX_MNT_ID) ||
           first.stx_mnt_id == second.stx_mnt_id;
}

}  // namespace

TempFile::TempFile(const fs::path& root, const fs::path& destination) {
    const fs::path directory = root / "tmp";
    const fs::path destinationDirectory = destination.parent_path();
    const std::string owner = OwnerTag();
    const bool machineTemp = ::mkdir(directory.c_str(), 0777) == 0 || errno == EEXIST;
    std::string pattern;
    if (machineTemp && SameMount(directory, destinationDirectory)) {
        pattern = (directory / (std::string(kCopy) + "." + owner + ".XXXXXX")).string();
    } else if (machineTemp) {
        // Beside the destination; the note, made first, lets a sweep find it.
        std::string notePattern = (directory / (std::string(kNote) + "." + owner + ".XXXXXX")).string();
        int note = ::mkostemp(notePattern.data(), O_CLOEXEC);
        if (note < 0) return;
        note_ = notePattern;
        fs::path beside = destinationDirectory / (kBeside + owner + "." +
                                                  notePattern.substr(notePattern.size() - 6));
        const std::string named = beside.string();
        const bool noted = ::write(note, named.data(), named.size()) ==
                           static_cast<ssize_t>(named.size());
        const int error = errno;
        ::close(note);
        if (!noted) {
            errno = error;
            return;
        }
        fd_ = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0) path_ = beside;
        return;
    } else {
        pattern = (destinationDirectory / (kBeside + owner + ".XXXXXX")).string();
    }
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) path_ = pattern;
}

TempFile::~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!note_.empty()) ::unlink(note_.c_str());
}

bool TempFile::Close() { return ::close(std::exchange(fd_, -1)) == 0; }

void TempFile::Placed() {
    path_.clear();
    if (!note_.empty()) ::unlink(note_.c_str());
    note_.clear();
}

}  // namespace emu
