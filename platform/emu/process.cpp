// Processes of the emulated machine: host programs, each started in a session
// of its own and watched by a reaper thread, so that none is ever left a
// zombie and no handle's closing touches the process itself.
#include "../platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "errors.h"
#include "machine.h"
#include "paths.h"
#include "process.h"

namespace emu {

namespace fs = std::filesystem;

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    size_t at = 0;

    std::string program;
    bool quoted = false;
    for (; at < line.size() && (quoted || !blank(line[at])); ++at) {
        if (line[at] == '"') {
            quoted = !quoted;
        } else {
            program += line[at];
        }
    }
    words.push_back(program);

    for (;;) {
        while (at < line.size() && blank(line[at])) ++at;
        if (at == line.size()) break;
        std::string word;
        quoted = false;
        while (at < line.size() && (quoted || !blank(line[at]))) {
            size_t slashes = 0;
            while (at < line.size() && line[at] == '\\') {
                ++slashes;
                ++at;
            }
            if (at < line.size() && line[at] == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2) {
                    word += '"';
                } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
                    word += '"';
                    ++at;
                } else {
                    quoted = !quoted;
                }
                ++at;
            } else {
                word.append(slashes, '\\');
                if (at < line.size() && (quoted || !blank(line[at]))) word += line[at++];
            }
        }
        words.push_back(word);
    }
    return words;
}

namespace {

// How long the machine's milliseconds last on the host: ROOT/clock may hold
// "scale F" (e.g. 0.001), so that tests need not wait real minutes.
double ClockScale() {
    const char* root = std::getenv("VTN2_MACHINE");
    if (!root || !*root) return 1.0;
    std::ifstream in(fs::path(root) / "clock");
    std::string line;
    double scale = 1.0;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string name;
        double value = 0;
        if (words >> name >> value && name == "scale" && value > 0 && value <= 1000) scale = value;
    }
    return scale;
}

std::chrono::microseconds HostDuration(uint32_t milliseconds) {
    return std::chrono::microseconds(std::llround(milliseconds * 1000.0 * ClockScale()));
}

// Set in the environment of a program that CreateProcessA starts: its argv[0]
// is already the program word of its command line.
constexpr char kStartedByMachine[] = "VTN2_STARTED_BY_MACHINE";

// How a program of the machine starts, before main. Windows has no SIGPIPE:
// a write to a pipe whose reader is gone fails, and the program goes on. And
// a program started from the host gets its full Windows path as the program
// word of its command line, as Wine gives one started from a Unix shell.
void StartProgram(int argc, char** argv, char**) {
    std::signal(SIGPIPE, SIG_IGN);
    if (std::getenv(kStartedByMachine)) {
        ::unsetenv(kStartedByMachine);
        return;
    }
    const char* machine = std::getenv("VTN2_MACHINE");
    if (argc < 1 || !machine || !*machine || !IsMachine(machine)) return;
    static std::string self;
    std::error_code ec;
    fs::path image = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    self = WindowsPath(image);
    argv[0] = self.data();
}

// glibc hands the functions of .init_array the program's arguments.
[[maybe_unused]] __attribute__((used, section(".init_array"))) void (*const kStartProgram)(
    int, char**, char**) = StartProgram;

// What the reaper learns, shared by the process's handles and its reaper.
struct Child {
    std::mutex lock;
    std::condition_variable changed;
    pid_t pid = 0;  // 0 until the fork; -1 when there is no process to wait for
    bool ended = false;
    uint32_t exitCode = STILL_ACTIVE;

    void Publish(pid_t started) {
        std::lock_guard<std::mutex> hold(lock);
        pid = started;
        changed.notify_all();
    }
};

void Reap(std::shared_ptr<Child> child) {
    pid_t pid;
    {
        std::unique_lock<std::mutex> hold(child->lock);
        child->changed.wait(hold, [&] { return child->pid != 0; });
        pid = child->pid;
    }
    if (pid < 0) return;
    int status = 0;
    pid_t got;
    do {
        got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    uint32_t code = 0;
    if (got == pid && WIFEXITED(status)) code = static_cast<uint32_t>(WEXITSTATUS(status));
    if (got == pid && WIFSIGNALED(status))
        code = 0xC0000000u | static_cast<uint32_t>(WTERMSIG(status));
    std::lock_guard<std::mutex> hold(child->lock);
    child->ended = true;
    child->exitCode = code;
    child->changed.notify_all();
}

// A process or thread handle. Closing it lets go of the process, which runs
// on; its reaper still waits for it.
struct ProcessHandle : Object {
    ProcessHandle(std::shared_ptr<Child> of, bool isThread)
        : child(std::move(of)), thread(isThread) {}
    std::shared_ptr<Child> child;
    bool thread;
};

std::shared_ptr<Child> ChildOf(HANDLE handle, bool threadToo) {
    auto* process = LookupAs<ProcessHandle>(handle, Kind::Process);
    return process && (threadToo || !process->thread) ? process->child : nullptr;
}

// The host file of a program named on a command line: as a path, or with
// ".exe" added when its name has no extension, as Windows tries it.
std::optional<fs::path> FindProgram(const std::string& program, uint32_t& error) {
    if (program.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    std::optional<fs::path> host = HostPath(program);
    std::error_code ec;
    if (host && !fs::exists(*host, ec) && !host->has_extension()) {
        std::optional<fs::path> withExe = HostPath(program + ".exe");
        if (withExe && fs::exists(*withExe, ec)) host = withExe;
    }
    if (!host || !fs::is_directory(host->parent_path(), ec)) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    return host;
}

struct ChildFailure {
    int error;
    bool inDirectory;
};

[[noreturn]] void ReportAndExit(int report, int error, bool inDirectory) {
    ChildFailure failure{error, inDirectory};
    ssize_t written = write(report, &failure, sizeof failure);
    _exit(written == sizeof failure ? 127 : 126);
}

// Runs in the forked child of a possibly threaded process: system calls only.
[[noreturn]] void BecomeProgram(const char* program, char* const* argv, char* const* environment,
                                const char* directory, int report, int fdLimit) {
    auto fail = [&report](int error, bool inDirectory) {
        ReportAndExit(report, error, inDirectory);
    };
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &standard, nullptr);
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < fdLimit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0) fail(errno, false);
    for (int fd = 0; fd < 3; ++fd) {
        if (devNull != fd && dup2(devNull, fd) < 0) fail(errno, false);
    }
    if (devNull > 2) close(devNull);
    // A program's file that another process holds without sharing can't be
    // started. Once it runs, Linux guards its file as Windows does (ETXTBSY).
    int image = open(program, O_RDONLY | O_CLOEXEC);
    if (image < 0) fail(errno, false);
    if (flock(image, LOCK_SH | LOCK_NB) != 0) fail(errno, false);
    // Windows starts images only, and Linux guards only an image it runs:
    // an executable file that is no ELF image (a #! script) fails as a file
    // that is no program does on Windows. What can't be executed at all is
    // left to execve, which says why.
    struct stat info {};
    char magic[4] = {};
    if (fstat(image, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0111) &&
        (read(image, magic, sizeof magic) != sizeof magic || memcmp(magic, "\x7f" "ELF", 4) != 0))
        fail(ENOEXEC, false);
    close(image);
    if (directory && chdir(directory) != 0) fail(errno, true);
    execve(program, argv, environment);
    ReportAndExit(report, errno, false);
}

// Where a program starts: in `host` the host directory of the one given, or
// nothing for the caller's own; 0, or the error with which the start fails.
uint32_t StartDirectory(const char* directory, std::optional<fs::path>& host) {
    if (!directory) return 0;
    host = HostPath(directory);
    return host ? 0 : kErrorDirectoryInvalid;
}

// The words as execve takes them, ended by a null; they must outlive it.
std::vector<char*> ArgumentVector(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// This process's environment and the variable `marker`, as execve takes them.
std::vector<char*> ChildEnvironment(std::string& marker) {
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable) environment.push_back(*variable);
    environment.push_back(marker.data());
    environment.push_back(nullptr);
    return environment;
}

// How far a child marks descriptors close-on-exec one by one, should the
// kernel be too old to do it at once.
int DescriptorLimit() {
    rlimit files{};
    return getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
               ? static_cast<int>(files.rlim_cur)
               : 65536;
}

// 0 when the child's exec succeeded, which closes its report pipe unread;
// else the error with which the start fails. Closes the pipe.
uint32_t StartFailure(int report) {
    ChildFailure failure{};
    ssize_t got;
    do {
        got = read(report, &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    close(report);
    if (got != sizeof failure) return 0;
    return failure.inDirectory ? kErrorDirectoryInvalid : ErrorFromErrno(failure.error);
}

// Starts the program in a child watched by a reaper from the start, so that
// it is waited for whatever becomes of its handles; 0 with the child and its
// process ID, or the error with which the start fails. Everything the child
// needs is made before the fork, after which it may only make system calls.
uint32_t Spawn(const fs::path& program, std::vector<std::string>& words,
               const std::optional<fs::path>& directory, std::shared_ptr<Child>& started,
               pid_t& pid) {
    std::string hostProgram = program.string();
    std::vector<char*> argv = ArgumentVector(words);
    std::string marker = std::string(kStartedByMachine) + "=1";
    std::vector<char*> environment = ChildEnvironment(marker);
    std::string hostDirectory = directory ? directory->string() : std::string();
    int fdLimit = DescriptorLimit();

    auto child = std::make_shared<Child>();
    try {
        std::thread(Reap, child).detach();
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        child->Publish(-1);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    pid = fork();
    if (pid == 0) {
        BecomeProgram(hostProgram.c_str(), argv.data(), environment.data(),
                      directory ? hostDirectory.c_str() : nullptr, report[1], fdLimit);
    }
    close(report[1]);
    child->Publish(pid < 0 ? -1 : pid);
    if (pid < 0) {
        close(report[0]);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (uint32_t failed = StartFailure(report[0])) return failed;
    started = std::move(child);
    return 0;
}

// What the caller learns of a started process: both handles lead to it, and
// its host process ID stands for both IDs.
void FillProcessInformation(PROCESS_INFORMATION& information, const std::shared_ptr<Child>& child,
                            pid_t pid) {
    information.hProcess = Register(Kind::Process, std::make_unique<ProcessHandle>(child, false));
    information.hThread = Register(Kind::Process, std::make_unique<ProcessHandle>(child, true));
    information.dwProcessId = static_cast<DWORD>(pid);
    information.dwThreadId = static_cast<DWORD>(pid);
}

}  // namespace
}  // namespace emu

using emu::Fail;
using emu::Kind;

void GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
    emu::Enter("GetStartupInfoA");
    if (!lpStartupInfo) return;
    static char desktop[] = "WinSta0\\Default";
    static char title[MAX_PATH];
    *lpStartupInfo = STARTUPINFOA{};
    lpStartupInfo->cb = sizeof *lpStartupInfo;
    lpStartupInfo->lpDesktop = desktop;
    std::error_code ec;
    std::string self = emu::WindowsPath(std::filesystem::read_symlink("/proc/self/exe", ec));
    if (!ec && self.size() < sizeof title) {
        std::memcpy(title, self.c_str(), self.size() + 1);
        lpStartupInfo->lpTitle = title;
    }
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (uint32_t error = emu::Enter("GetModuleFileNameA")) return Fail<DWORD>(error, 0);
    if (hModule) return Fail<DWORD>(emu::kErrorModNotFound, 0);
    std::error_code ec;
    std::filesystem::path host = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return Fail<DWORD>(ERROR_FILE_NOT_FOUND, 0);
    std::string path = emu::WindowsPath(host);
    if (!lpFilename || nSize == 0) return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    emu::SetLastErrorCode(ERROR_SUCCESS);  // as Windows does on success
    return static_cast<DWORD>(path.size());
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID lpEnvironment,
                    LPCSTR lpCurrentDirectory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION lpProcessInformation) {
    // Windows clears the record first, so a failed start leaves no stale handle in it.
    if (lpProcessInformation) *lpProcessInformation = PROCESS_INFORMATION{};
    const char* subject = lpCommandLine ? lpCommandLine : lpApplicationName;
    if (uint32_t error = emu::Enter("CreateProcessA", subject ? subject : ""))
        return Fail(error, FALSE);
    // An environment block of the caller's own is not emulated.
    if (!subject || !lpProcessInformation || lpEnvironment)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);

    std::vector<std::string> words = emu::SplitCommandLine(lpCommandLine ? lpCommandLine : "");
    uint32_t error = 0;
    std::optional<std::filesystem::path> program =
        emu::FindProgram(lpApplicationName ? lpApplicationName : words[0], error);
    if (!program) return Fail(error, FALSE);
    std::optional<std::filesystem::path> directory;
    if (uint32_t invalid = emu::StartDirectory(lpCurrentDirectory, directory))
        return Fail(invalid, FALSE);
    std::shared_ptr<emu::Child> child;
    pid_t pid = 0;
    if (uint32_t failed = emu::Spawn(*program, words, directory, child, pid))
        return Fail(failed, FALSE);
    emu::FillProcessInformation(*lpProcessInformation, child, pid);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (uint32_t error = emu::Enter("GetExitCodeProcess")) return Fail(error, FALSE);
    std::shared_ptr<emu::Child> child = emu::ChildOf(hProcess, false);
    if (!child) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!lpExitCode) return Fail(ERROR_NOACCESS, FALSE);
    std::lock_guard<std::mutex> hold(child->lock);
    *lpExitCode = child->ended ? child->exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (uint32_t error = emu::Enter("WaitForSingleObject")) return Fail<DWORD>(error, WAIT_FAILED);
    std::shared_ptr<emu::Child> child = emu::ChildOf(hHandle, true);
    if (!child) return Fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
    std::unique_lock<std::mutex> hold(child->lock);
    auto ended = [&] { return child->ended; };
    if (dwMilliseconds == INFINITE) {
        child->changed.wait(hold, ended);
    } else if (!child->changed.wait_for(hold, emu::HostDuration(dwMilliseconds), ended)) {
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

void Sleep(DWORD dwMilliseconds) {
    emu::Enter("Sleep");
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(emu::HostDuration(dwMilliseconds));
}
