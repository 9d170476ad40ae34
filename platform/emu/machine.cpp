#include "machine.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "../emulation.h"
#include "ascii.h"
#include "leftovers.h"

namespace emu {

namespace fs = std::filesystem;

bool IsMachine(const fs::path& root) {
    std::error_code ec;
    return fs::is_directory(root / "drive_c", ec) && fs::is_regular_file(root / "registry", ec);
}

std::optional<fs::path> MachineRoot() {
    const char* setting = std::getenv("VTN2_MACHINE");
    if (setting && *setting && IsMachine(setting)) {
        SweepLeftoversOnce(setting);
        return fs::path(setting);
    }
    static bool told = false;
    if (!told) {
        told = true;
        if (!setting || !*setting) {
            std::fprintf(stderr,
                         "vtn2: VTN2_MACHINE is not set; set it to a machine directory made by "
                         "'vtn2-machine init ROOT'\n");
        } else {
            std::fprintf(stderr,
                         "vtn2: VTN2_MACHINE=%s is not a machine (no drive_c or registry); make "
                         "one with 'vtn2-machine init %s'\n",
                         setting, setting);
        }
    }
    return std::nullopt;
}

bool GlobMatch(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || AsciiUpper(pattern[p]) == AsciiUpper(text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// A faults line: FUNCTION PATTERN ERROR, the pattern being everything between
// the first and the last word, so that it may hold blanks as paths do, and
// '#' as every device path does; only a line that starts with '#' is a comment.
bool ParseRule(const std::string& raw, FaultRule& rule) {
    std::string line = raw;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') return false;
    size_t last = line.find_last_not_of(" \t\r");
    line = line.substr(first, last - first + 1);
    size_t afterFunction = line.find_first_of(" \t");
    size_t beforeError = line.find_last_of(" \t");
    if (afterFunction == std::string::npos ||
        line.find_first_not_of(" \t", afterFunction) > beforeError) {
        throw std::invalid_argument("expected FUNCTION PATTERN ERROR");
    }
    rule.function = line.substr(0, afterFunction);
    std::string pattern = line.substr(afterFunction, beforeError - afterFunction);
    rule.pattern = pattern.substr(pattern.find_first_not_of(" \t"));
    rule.pattern.erase(rule.pattern.find_last_not_of(" \t") + 1);
    std::string error = line.substr(beforeError + 1);
    char* end = nullptr;
    unsigned long long code = std::strtoull(error.c_str(), &end, 0);
    if (*end != '\0' || code == 0 || code > 0xFFFFFFFFull) {
        throw std::invalid_argument("ERROR must be a nonzero Win32 error code");
    }
    rule.error = static_cast<uint32_t>(code);
    return true;
}

namespace {

std::vector<FaultRule> ReadFaults(const fs::path& root) {
    std::vector<FaultRule> rules;
    std::ifstream in(root / "faults");
    std::string line;
    int number = 0;
    static std::set<std::string> reported;
    while (std::getline(in, line)) {
        ++number;
        FaultRule rule;
        try {
            if (ParseRule(line, rule)) rules.push_back(rule);
        } catch (const std::invalid_argument& e) {
            std::string where = (root / "faults").string() + ":" + std::to_string(number);
            if (reported.insert(where + line).second) {
                std::fprintf(stderr,
                             "vtn2: %s: ignored '%s': %s (a rule reads like "
                             "'CreateFileA \\\\?\\HID#* 5')\n",
                             where.c_str(), line.c_str(), e.what());
            }
        }
    }
    return rules;
}

thread_local uint32_t lastError = 0;

struct Entry {
    Kind kind;
    std::unique_ptr<Object> object;
};

// Everything handed out and not yet released. Whatever is still here when
// the process ends is named on standard error.
struct HandleTable {
    std::mutex lock;
    std::map<void*, Entry> entries;
    ~HandleTable() {
        if (entries.empty()) return;
        std::fprintf(stderr, "vtn2: %zu resources never released:\n", entries.size());
        for (const auto& [handle, entry] : entries) {
            std::fprintf(stderr, "vtn2:   %s %p\n", KindName(entry.kind), handle);
        }
    }
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

namespace {

// The emulated calls this process has made. With VTN2_CALL_LOG set, they are
// appended to that file when the process ends, one a line after the
// program's name and the call's number, so that a test can count them.
struct CallRecord {
    std::vector<std::string> calls;
    ~CallRecord() {
        const char* log = std::getenv("VTN2_CALL_LOG");
        if (!log || !*log || calls.empty()) return;
        std::string text;
        for (size_t i = 0; i < calls.size(); ++i)
            text += ProgramName() + " " + std::to_string(i + 1) + " " + calls[i] + "\n";
        if (FILE* out = std::fopen(log, "a")) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
    }
    static const std::string& ProgramName() {
        static const std::string name = [] {
            std::error_code ec;
            return fs::read_symlink("/proc/self/exe", ec).filename().string();
        }();
        return name;
    }
};

CallRecord& Record() {
    static CallRecord record;
    return record;
}

// "call:N PROGRAM ERROR" fails the Nth emulated call of a process whose
// program file name matches PROGRAM, whatever the call is.
bool FailsThisCall(const FaultRule& rule, size_t number) {
    return rule.function == "call:" + std::to_string(number) &&
           GlobMatch(rule.pattern, CallRecord::ProgramName());
}

// VTN2_KILL_AT="call:N PROGRAM" kills that call's process as it enters the
// call, as a power cut or kill -9 would, so that tests can cut a run short
// anywhere and run it again.
void KillWhenDue(size_t number) {
    const char* setting = std::getenv("VTN2_KILL_AT");
    if (!setting) return;
    std::string_view text(setting);
    size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return;
    FaultRule rule{std::string(text.substr(0, blank)), std::string(text.substr(blank + 1))};
    if (FailsThisCall(rule, number)) ::kill(::getpid(), SIGKILL);
}

}  // namespace

uint32_t Enter(const char* function, std::string_view subject) {
    return Enter(function, subject, {});
}

uint32_t Enter(const char* function, std::string_view subject,
               const std::function<std::string()>& folded) {
    std::vector<std::string>& calls = Record().calls;
    calls.push_back(subject.empty() ? std::string(function)
                                    : std::string(function) + " " + std::string(subject));
    KillWhenDue(calls.size());
    const char* setting = std::getenv("VTN2_MACHINE");
    if (!setting || !*setting) return 0;
    for (const FaultRule& rule : ReadFaults(setting)) {
        if (FailsThisCall(rule, calls.size())) return rule.error;
        if (rule.function != function) continue;
        if (GlobMatch(rule.pattern, subject)) return rule.error;
        if (folded && GlobMatch(rule.pattern, folded())) return rule.error;
    }
    return 0;
}

uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT: return 2;  // ERROR_FILE_NOT_FOUND
        case ENOTDIR:
        case ELOOP: return 3;  // ERROR_PATH_NOT_FOUND
        case EMFILE:
        case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return 5;  // ERROR_ACCESS_DENIED
        case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case EXDEV: return 17;  // ERROR_NOT_SAME_DEVICE
        // A file that a running program or another open holds.
        case EBUSY:
        case ETXTBSY:
        case EWOULDBLOCK: return 32;  // ERROR_SHARING_VIOLATION
        case ENOSPC:
        case EDQUOT: return 112;  // ERROR_DISK_FULL
        case ENOTEMPTY: return 145;  // ERROR_DIR_NOT_EMPTY
        case EEXIST: return 183;  // ERROR_ALREADY_EXISTS
        case ENOEXEC: return 193;  // ERROR_BAD_EXE_FORMAT
        case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
        default: return 1117;  // ERROR_IO_DEVICE
    }
}

void SetLastErrorCode(uint32_t code) { lastError = code; }
uint32_t LastErrorCode() { return lastError; }

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Key: return "registry key";
        case Kind::Device: return "device handle";
        case Kind::DeviceSet: return "device set";
        case Kind::LocalBlock: return "local block";
        case Kind::CBlock: return "C library block";
        case Kind::File: return "file handle";
        case Kind::Find: return "find handle";
        case Kind::Process: return "process handle";
        case Kind::HeapBlock: return "heap block";
        case Kind::Sid: return "SID";
    }
    return "resource";
}

void* Register(Kind kind, std::unique_ptr<Object> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    void* handle = object.get();
    table.entries[handle] = Entry{kind, std::move(object)};
    // The table owns the object now; the handle stays valid until Release.
    // cppcheck-suppress returnDanglingLifetime
    return handle;
}

void RegisterBlock(Kind kind, void* block) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    table.entries[block] = Entry{kind, nullptr};
}

Object* Lookup(void* handle, Kind kind) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.entries.find(handle);
    if (it == table.entries.end() || it->second.kind != kind) return nullptr;
    return it->second.object.get();
}

bool Release(void* handle, Kind kind) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.entries.find(handle);
    if (it == table.entries.end() || it->second.kind != kind) return false;
    table.entries.erase(it);
    return true;
}

std::vector<std::string> CallLog() { return Record().calls; }
void ClearCallLog() { Record().calls.clear(); }

bool ReleaseBlock(void* block, Kind kind) {
    if (!Release(block, kind)) return false;
    std::free(block);
    return true;
}

size_t OutstandingResources() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    return table.entries.size();
}

std::string DescribeOutstanding() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    std::ostringstream out;
    for (const auto& [handle, entry] : table.entries) {
        out << KindName(entry.kind) << ' ' << handle << '\n';
    }
    return out.str();
}

}  // namespace emu
