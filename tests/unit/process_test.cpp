// Programs the Installer starts must run on the emulated machine as they do
// on Windows: found case-blind, given their arguments by the Windows rules,
// hidden, holding their own file, and never left behind as zombies.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "fixture.h"
#include "platform/emu/process.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}


// Whether a process of that id exists at all, a zombie included.
bool Exists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

class Process : public StandinTest {
protected:

    // Starts a program; false with GetLastError's code in error_ when it fails.
    bool Start(std::string commandLine, PROCESS_INFORMATION& info) {
        STARTUPINFOA startup{};
        GetStartupInfoA(&startup);
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        std::memset(&info, 0xA5, sizeof info);  // what a failed start must not leave
        SetLastError(0);
        BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                      CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info);
        error_ = GetLastError();
        return started != FALSE;
    }

    // Runs a program to its end; its exit code, or -1 when it did not start or end.
    long long Run(const std::string& commandLine) {
        PROCESS_INFORMATION info;
        if (!Start(commandLine, info)) return -1;
        DWORD code = 0;
        bool ended = WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return ended ? code : -1;
    }

    void Finish(const PROCESS_INFORMATION& info) {
        EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(CloseHandle(info.hThread));
        EXPECT_TRUE(CloseHandle(info.hProcess));
    }


    // Waits, in real time, until the log holds that many lines.
    bool AwaitLog(size_t lines) const {
        for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
            if (StandinLog().size() >= lines) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Waits until the process of /proc/PID sleeps (in Sleep's nanosleep).
    static bool AwaitAsleep(const fs::path& proc) {
        for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
            long call = -1;
            std::istringstream(Slurp(proc / "syscall")) >> call;
            if (call == SYS_clock_nanosleep || call == SYS_nanosleep) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    DWORD error_ = 0;
};

struct SplitCase {
    const char* name;
    const char* line;
    std::vector<std::string> words;
};

TEST(CommandLine, SplitsAsTheWindowsRuntimeDoes) {
    const SplitCase cases[] = {
        {"plain words", "prog a b", {"prog", "a", "b"}},
        {"blanks and tabs separate", "prog \t a   b  ", {"prog", "a", "b"}},
        {"quoted program with blanks", "\"C:\\Program Files\\x.exe\" -a",
         {"C:\\Program Files\\x.exe", "-a"}},
        {"backslashes in the program are plain", "\"C:\\dir\\\\\" a", {"C:\\dir\\\\", "a"}},
        {"quoted argument keeps blanks", "p \"a b\" c", {"p", "a b", "c"}},
        {"quotes inside a word", "p a\"b c\"d", {"p", "ab cd"}},
        {"escaped quote", "p a\\\"b", {"p", "a\"b"}},
        {"even backslashes then quote", "p a\\\\\"b c\"", {"p", "a\\b c"}},
        {"odd backslashes then quote", "p a\\\\\\\"b", {"p", "a\\\"b"}},
        {"backslashes elsewhere are literal", "p C:\\dir\\ a\\\\b", {"p", "C:\\dir\\", "a\\\\b"}},
        {"trailing backslash escaped in quotes", "p \"C:\\dir\\\\\"", {"p", "C:\\dir\\"}},
        {"empty quoted argument", "p \"\" x", {"p", "", "x"}},
        {"doubled quote inside quotes", "p \"a\"\"b\"", {"p", "a\"b"}},
        {"unclosed quote runs to the end", "p \"a  b", {"p", "a  b"}},
        {"empty line", "", {""}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(emu::SplitCommandLine(c.line), c.words) << c.name;
    }
}

struct NameCase {
    const char* name;
    const char* installedAs;
    const char* commandLine;
    const char* logged;
};

TEST_F(Process, FindsItsProgramCaseBlindAndPassesTheArguments) {
    const NameCase cases[] = {
        {"quoted, other case", "VLQSPSVC.EXE", "\"C:\\windows\\system32\\vlqspsvc.exe\" -remove",
         "VLQSPSVC.EXE -remove"},
        {"unquoted", "vlqwdzsv.exe", "C:\\WINDOWS\\SYSTEM32\\VLQWDZSV.EXE -x", "VLQWDZSV.EXE -x"},
        {"without .exe", "VLQSPREM.EXE", "C:\\windows\\system32\\vlqsprem", "VLQSPREM.EXE"},
        {"arguments by the Windows rules", "VLQSPREM.EXE",
         "C:\\windows\\system32\\VLQSPREM.EXE \"a  b\" c\\\"d e\\\\\"f\" C:\\x\\",
         "VLQSPREM.EXE a  b c\"d e\\f C:\\x\\"},
    };
    for (const NameCase& c : cases) {
        InstallStandin(c.installedAs);
        fs::remove(log_);
        EXPECT_EQ(Run(c.commandLine), 0) << c.name << ": error " << error_;
        EXPECT_EQ(StandinLog(), std::vector<std::string>{c.logged}) << c.name;
        fs::remove(System(c.installedAs));
    }
}

TEST_F(Process, LogsToTheMachinesTempFolderByDefault) {
    unsetenv("VTN2_STANDIN_LOG");
    InstallStandin("VLQSPREM.EXE");
    ASSERT_EQ(Run("C:\\windows\\system32\\VLQSPREM.EXE -a"), 0);
    EXPECT_EQ(Slurp(root_ / "drive_c" / "windows" / "Temp" / "vtn2-standin.log"),
              "VLQSPREM.EXE -a\n");
}

TEST_F(Process, ALongRunningProgramIsHiddenAloneAndOnTheScaledClock) {
    InstallStandin("VLQSPREM.EXE");
    ConfigureStandins("run-ms 4294967294\n");  // 71 minutes on this clock: killed below
    ScaleClock("0.001");
    int leak = open("/dev/zero", O_RDONLY);  // not close-on-exec
    PROCESS_INFORMATION info;
    bool started = Start("C:\\windows\\system32\\VLQSPREM.EXE", info);
    close(leak);
    ASSERT_TRUE(started) << error_;
    ASSERT_TRUE(AwaitLog(1));

    // Asleep in its run, after its line, the program holds no file of its own
    // (its log, the machine's clock, ...): what is open then it inherited.
    fs::path proc = "/proc/" + std::to_string(info.dwProcessId);
    ASSERT_TRUE(AwaitAsleep(proc));
    std::vector<std::string> fds;
    for (const auto& entry : fs::directory_iterator(proc / "fd")) {
        std::error_code closed;
        fs::path target = fs::read_symlink(entry, closed);
        if (!closed) fds.push_back(entry.path().filename().string() + " " + target.string());
    }
    std::sort(fds.begin(), fds.end());
    EXPECT_EQ(fds, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    std::istringstream stat(Slurp(proc / "stat"));
    std::string pid, name, state, parent, group, session;
    stat >> pid >> name >> state >> parent >> group >> session;
    EXPECT_EQ(session, pid) << "leads a session of its own";
    EXPECT_EQ(fs::read_symlink(proc / "cwd"), fs::current_path());
    EXPECT_NE(Slurp(proc / "environ").find("VTN2_STANDIN_LOG=" + log_.string() + '\0'),
              std::string::npos);
    EXPECT_EQ(Slurp(proc / "cmdline"), "C:\\windows\\system32\\VLQSPREM.EXE" + std::string(1, '\0'))
        << "the program word of its command line";

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    // 300 ms on the scaled clock; unscaled, 300 s.
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 300000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(150));
    ASSERT_EQ(kill(static_cast<pid_t>(info.dwProcessId), SIGKILL), 0);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 0xC0000000u | SIGKILL);
    Finish(info);
}

struct StartFailure {
    const char* name;
    const char* commandLine;
    DWORD error;
};

TEST_F(Process, FailsToStartWithWindowsErrors) {
    InstallStandin("VLQSPSVC.EXE");
    int holder = open(InstallStandin("HELD.EXE").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    std::ofstream(System("PLAIN.EXE")) << "no execute permission";
    fs::permissions(System("PLAIN.EXE"), fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(System("BROKEN.EXE")) << "\x7f" "ELF, broken";
    fs::permissions(System("BROKEN.EXE"), fs::perms::owner_all);
    std::ofstream(System("SCRIPT.EXE")) << "#!/bin/sh\necho ran >>'" << log_.string() << "'\n";
    fs::permissions(System("SCRIPT.EXE"), fs::perms::owner_all);
    fs::create_directories(System("FOLDER.EXE"));
    WriteFaults("CreateProcessA *faulty* 1450\n");
    const StartFailure cases[] = {
        {"missing program", "C:\\windows\\system32\\NOPE.EXE -remove", ERROR_FILE_NOT_FOUND},
        {"missing folder", "C:\\windows\\nowhere\\VLQSPSVC.EXE", ERROR_PATH_NOT_FOUND},
        {"other drive", "D:\\VLQSPSVC.EXE", ERROR_PATH_NOT_FOUND},
        {"no execute permission", "C:\\windows\\system32\\plain.exe", ERROR_ACCESS_DENIED},
        {"a folder", "C:\\windows\\system32\\FOLDER.EXE", ERROR_ACCESS_DENIED},
        {"not a program", "C:\\windows\\system32\\broken.exe", 193},
        {"a host script, no image", "C:\\windows\\system32\\SCRIPT.EXE", 193},
        {"held exclusively", "C:\\windows\\system32\\HELD.EXE", ERROR_SHARING_VIOLATION},
        {"fault rule", "C:\\windows\\system32\\VLQSPSVC.EXE faulty", 1450},
        {"empty command line", "", ERROR_PATH_NOT_FOUND},
    };
    for (const StartFailure& c : cases) {
        PROCESS_INFORMATION info;
        if (Start(c.commandLine, info)) {
            ADD_FAILURE() << c.name << ": started";
            Finish(info);
        }
        EXPECT_EQ(error_, c.error) << c.name;
        EXPECT_TRUE(info.hProcess == nullptr && info.hThread == nullptr &&
                    info.dwProcessId == 0 && info.dwThreadId == 0)
            << c.name << ": the record is cleared";
        EXPECT_EQ(emu::OutstandingResources(), 0u) << c.name;
    }
    EXPECT_FALSE(fs::exists(log_)) << "nothing ran";
    close(holder);
}

// A running program's file, as Windows (and Wine) treat it: started again,
// read and renamed, but never written, replaced or deleted.
TEST_F(Process, RunningProgramsFileIsReadButNotReplacedAndItHoldsTheFilesItIsTold) {
    InstallStandin("VLQSPSVC.EXE");
    std::ofstream(System("OTHER.EXE")) << "new version";
    std::ofstream(System("VLQSPW.DLL")) << "dll";
    ConfigureStandins("hold C:\\windows\\system32\\vlqspw.dll\nuntil C:\\end\nexit 7\n");
    PROCESS_INFORMATION first, second;
    ASSERT_TRUE(Start("C:\\windows\\system32\\VLQSPSVC.EXE one", first)) << error_;
    ASSERT_TRUE(Start("C:\\windows\\system32\\VLQSPSVC.EXE two", second)) << "runs twice";
    ASSERT_TRUE(AwaitLog(2));

    static const char kProgram[] = "C:\\windows\\system32\\VLQSPSVC.EXE";
    static const char kOther[] = "C:\\windows\\system32\\OTHER.EXE";
    auto opens = [](DWORD access, DWORD share) {
        HANDLE file = CreateFileA(kProgram, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return file != INVALID_HANDLE_VALUE && CloseHandle(file);
    };
    const std::pair<const char*, std::function<BOOL()>> rows[] = {
        {"read, sharing nothing", [&] { return opens(GENERIC_READ, 0); }},
        {"read, sharing reading", [&] { return opens(GENERIC_READ, FILE_SHARE_READ); }},
        {"copied from", [] { return CopyFileA(kProgram, "C:\\windows\\system32\\C.EXE", FALSE); }},
        {"renamed", [] {
             return MoveFileExA(kProgram, "C:\\windows\\system32\\R.EXE", 0) &&
                    MoveFileExA("C:\\windows\\system32\\R.EXE", kProgram, 0);
         }},
        {"written", [&] { return opens(GENERIC_WRITE, 7); }},
        {"copied onto", [] { return CopyFileA(kOther, kProgram, FALSE); }},
        {"replaced by a move", [] { return MoveFileExA(kOther, kProgram, 1); }},
        {"deleted", [] { return DeleteFileA(kProgram); }},
    };
    const DWORD errors[] = {0, 0, 0, 0, 32, 32, 5, 5};
    for (size_t i = 0; i < std::size(rows); ++i) {
        SetLastError(0);
        EXPECT_EQ(rows[i].second() ? 0u : GetLastError(), errors[i]) << rows[i].first;
    }
    HANDLE held = CreateFileA("C:\\windows\\system32\\VLQSPW.DLL", GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);

    std::ofstream(OnDriveC("C:\\end"));
    for (const PROCESS_INFORMATION& info : {first, second}) {
        EXPECT_EQ(WaitForSingleObject(info.hThread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
        EXPECT_EQ(code, 7u);
        Finish(info);
    }
    EXPECT_TRUE(CopyFileA(kOther, kProgram, FALSE)) << "let go with the processes";
    EXPECT_TRUE(DeleteFileA("C:\\windows\\system32\\VLQSPW.DLL"));
}

TEST_F(Process, RemoveTakesAwayWhatEachUninstallerOwns) {
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vlqwdzsv\\Enum]\n"
        "\"0\"=\"x\"\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLQWDZEX\\Parameters\\Deep]\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vlqspsvc\\Security]\n");
    InstallStandin("vlqwdzsv.exe");
    InstallStandin("VLQSPSVC.EXE");
    InstallStandin("VLQSPREM.EXE");
    std::ofstream(System("VLQSPW.DLL")) << "dll";
    auto keyExists = [](const std::string& name) {
        HKEY key = nullptr;
        std::string path = "SYSTEM\\CurrentControlSet\\Services";
        if (!name.empty()) path += "\\" + name;
        LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status == ERROR_SUCCESS;
    };

    EXPECT_EQ(Run("C:\\windows\\system32\\vlqwdzsv.exe -remove"), 0);
    EXPECT_FALSE(keyExists("vlqwdzsv"));
    EXPECT_TRUE(keyExists("vlqwdzex")) << "left for the Installer to purge";
    EXPECT_TRUE(keyExists("vlqspsvc"));
    EXPECT_TRUE(fs::exists(System("vlqwdzsv.exe"))) << "a running program stays";

    EXPECT_EQ(Run("C:\\windows\\system32\\VLQSPSVC.EXE -remove"), 0);
    EXPECT_FALSE(keyExists("vlqspsvc"));
    EXPECT_FALSE(fs::exists(System("VLQSPREM.EXE")));
    EXPECT_FALSE(fs::exists(System("VLQSPW.DLL")));
    EXPECT_TRUE(fs::exists(System("VLQSPSVC.EXE")));
    EXPECT_TRUE(keyExists("")) << "the services themselves stay";

    EXPECT_EQ(StandinLog(), (std::vector<std::string>{"VLQWDZSV.EXE -remove", "VLQSPSVC.EXE -remove"}));
}

TEST_F(Process, InstallRegistersTheServiceWithItsOwnPath) {
    InstallStandin("VLQSPSVC.EXE");
    ASSERT_EQ(Run("C:\\windows\\system32\\vlqspsvc.exe -install -VTN2"), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\vlqspsvc", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    auto value = [key](const char* name, DWORD& type) {
        char data[MAX_PATH] = {};
        DWORD size = sizeof data - 1;
        LPBYTE bytes = reinterpret_cast<LPBYTE>(data);
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, bytes, &size), ERROR_SUCCESS) << name;
        return std::string(data, size);
    };
    DWORD type = 0;
    EXPECT_EQ(value("ImagePath", type), std::string("C:\\windows\\system32\\VLQSPSVC.EXE") + '\0');
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(value("Start", type), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value("Type", type), std::string("\x10\0\0\0", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    RegCloseKey(key);
}

struct ClockCase {
    const char* name;
    const char* clockFile;  // null: none
    DWORD sleepMs;
    std::chrono::milliseconds atLeast, below;
};

// A sleep lasts at least its time on the machine's clock, scaled or not;
// a scaled one less than half its real time, which load can't stretch it to.
TEST_F(Process, TheMachinesClockMayRunFasterForTests) {
    using std::chrono::milliseconds;
    const milliseconds never = std::chrono::hours(24);
    const ClockCase cases[] = {
        {"no clock file: real time", nullptr, 150, milliseconds(150), never},
        {"scale 0.001", "scale 0.001\n", 20000, milliseconds(20), milliseconds(10000)},
        {"comments and other lines", "# fast\nspeed 9\nscale 0.001 # tests\n", 20000,
         milliseconds(20), milliseconds(10000)},
        {"unreadable scale: real time", "scale fast\n", 150, milliseconds(150), never},
    };
    for (const ClockCase& c : cases) {
        fs::remove(root_ / "clock");
        if (c.clockFile) std::ofstream(root_ / "clock") << c.clockFile;
        auto start = Clock::now();
        Sleep(c.sleepMs);
        auto took = Clock::now() - start;
        EXPECT_GE(took, c.atLeast) << c.name;
        EXPECT_LT(took, c.below) << c.name;
    }
}

TEST_F(Process, ClosingTheHandlesLeavesTheProcessRunningAndItIsReaped) {
    InstallStandin("VLQSPREM.EXE");
    ConfigureStandins("run-ms 300\n");
    PROCESS_INFORMATION info;
    ASSERT_TRUE(Start("C:\\windows\\system32\\VLQSPREM.EXE", info)) << error_;
    pid_t pid = static_cast<pid_t>(info.dwProcessId);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_EQ(emu::OutstandingResources(), 0u);
    EXPECT_TRUE(AwaitLog(1)) << "it was not killed";
    auto end = Clock::now() + std::chrono::seconds(20);
    while (Exists(pid) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(Exists(pid)) << "still there, or a zombie";
}

struct HandleFailure {
    const char* name;
    const char* faults;
    HANDLE handle;
    bool wait;  // else GetExitCodeProcess
    DWORD error;
};

TEST_F(Process, CallsOnProcessesFailWithWindowsErrors) {
    InstallStandin("VLQSPREM.EXE");
    PROCESS_INFORMATION info;
    ASSERT_TRUE(Start("C:\\windows\\system32\\VLQSPREM.EXE", info)) << error_;
    int notAProcess = 0;
    const HandleFailure cases[] = {
        {"wait on no process", "", &notAProcess, true, ERROR_INVALID_HANDLE},
        {"exit code of no process", "", &notAProcess, false, ERROR_INVALID_HANDLE},
        {"exit code of the thread", "", info.hThread, false, ERROR_INVALID_HANDLE},
        {"wait faulted", "WaitForSingleObject * 1450\n", info.hProcess, true, 1450},
        {"exit code faulted", "GetExitCodeProcess * 5\n", info.hProcess, false, 5},
    };
    for (const HandleFailure& c : cases) {
        WriteFaults(c.faults);
        SetLastError(0);
        DWORD code = 12345;
        if (c.wait) {
            EXPECT_EQ(WaitForSingleObject(c.handle, 0), WAIT_FAILED) << c.name;
        } else {
            EXPECT_FALSE(GetExitCodeProcess(c.handle, &code)) << c.name;
        }
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(code, 12345u) << c.name;
    }
    WriteFaults("");
    Finish(info);
    EXPECT_FALSE(CloseHandle(info.hProcess)) << "already closed";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_FAILED);
}

TEST_F(Process, ProgramsLearnHowTheyWereStarted) {
    STARTUPINFOA startup;
    std::memset(&startup, 0xAB, sizeof startup);
    GetStartupInfoA(&startup);
    EXPECT_EQ(startup.cb, sizeof startup);
    EXPECT_EQ(startup.lpReserved, nullptr);
    EXPECT_EQ(startup.cbReserved2, 0);
    char path[MAX_PATH];
    SetLastError(ERROR_ACCESS_DENIED);
    ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 3u);
    EXPECT_EQ(GetLastError(), 0u) << "a success clears the last error";
    EXPECT_STREQ(startup.lpTitle, path);
    char small[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 4u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(small, "Z:\\") << "cut short; the test program lives outside drive C:";
}

}  // namespace
