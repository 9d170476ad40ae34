// The emulated machine's files must behave as Windows files do, down to the
// error codes, or the Installer's placement tests prove nothing.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <tuple>
#include <utility>
#include <thread>

#include "fixture.h"
#include "platform/emu/pending_moves.h"
#include "platform/emulation.h"
#include "platform/platform.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool FlockVisible(const fs::path& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    return locked;
}

// `flock [-s] FILE sleep 30` in a process group of its own, until destroyed.
class FlockProcess {
public:
    FlockProcess(const fs::path& path, bool shared) : path_(path) {
        std::vector<std::string> words{"flock"};
        if (shared) words.push_back("-s");
        words.insert(words.end(), {path.string(), "sleep", "30"});
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        int failed = posix_spawnp(&pid_, "flock", nullptr, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        if (failed) pid_ = -1;
        for (int i = 0; i < 1000 && pid_ > 0 && !FlockVisible(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The sleep that holds the lock too is no child of ours to wait for.
    ~FlockProcess() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        for (int i = 0; i < 1000 && FlockVisible(path_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

private:
    fs::path path_;
    pid_t pid_ = -1;
};

// A child process holding an fcntl write lock on bytes [10, 20) until destroyed.
class RangeLockProcess {
public:
    explicit RangeLockProcess(const fs::path& path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release_[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock range {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            range.l_start = 10;
            range.l_len = 10;
            char held = fd >= 0 && fcntl(fd, F_SETLK, &range) == 0 ? '1' : '0';
            if (write(ready[1], &held, 1) == 1) {
                char ignored;
                while (read(release_[0], &ignored, 1) > 0) {
                }
            }
            _exit(0);
        }
        close(ready[1]);
        close(release_[0]);
        char answer = '0';
        held_ = read(ready[0], &answer, 1) == 1 && answer == '1';
        close(ready[0]);
    }
    ~RangeLockProcess() {
        close(release_[1]);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    bool held_ = false;
};

// Runs a call in a forked process, as another program on the machine would,
// and gives its Win32 error (0 for success).
DWORD InOtherProcess(const std::function<BOOL()>& call) {
    pid_t pid = fork();
    if (pid == 0) _exit(static_cast<int>(ErrorOf(call()) & 0xFF));
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 0xFFFF;
}

TEST_F(FilesEmulation, CopyKeepsContentAttributesTimeAndMode) {
    Put(kSource, "program");
    Put(kDest, "an older and longer program");
    fs::path source = OnDriveC(kSource), dest = OnDriveC(kDest);
    ASSERT_EQ(chmod(source.c_str(), 0751), 0);
    const timespec times[2] = {{1500000000, 1}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    ASSERT_TRUE(SetFileAttributesA(kSource, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));

    ASSERT_TRUE(CopyFileA(kSource, kDest, FALSE)) << GetLastError();
    EXPECT_EQ(Content(kDest), "program");
    EXPECT_EQ(GetFileAttributesA(kDest), DWORD{FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE});
    struct stat info {};
    ASSERT_EQ(stat(dest.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(info.st_mode & 07777, 0751u);
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(dest.parent_path()))
        if (entry.is_regular_file()) beside.push_back(entry.path().filename());
    EXPECT_EQ(beside, std::vector<std::string>{"a.dll"}) << "no temporary file left beside it";
}

TEST_F(FilesEmulation, FailedCopiesLeaveTheDestinationAsItWas) {
    struct Row {
        const char* name;
        const char* source;
        const char* dest;
        BOOL failIfExists;
        DWORD destAttributes;
        const char* faults;
        DWORD error;
    };
    const Row rows[] = {
        {"destination exists, must not", kSource, kDest, TRUE, 0, "", 80},
        {"source missing", "C:\\dist\\none.dll", kDest, FALSE, 0, "", 2},
        {"source directory missing", "C:\\none\\a.dll", kDest, FALSE, 0, "", 3},
        {"destination directory missing", kSource, "C:\\none\\a.dll", FALSE, 0, "", 3},
        {"destination read-only", kSource, kDest, FALSE, FILE_ATTRIBUTE_READONLY, "", 5},
        {"destination hidden", kSource, kDest, FALSE, FILE_ATTRIBUTE_HIDDEN, "", 5},
        {"onto itself", kSource, "c:\\DIST\\A.DLL", FALSE, 0, "", 32},
        {"fault", kSource, kDest, FALSE, 0, "CopyFileA *\\SYSTEM32\\A.DLL 112\n", 112},
        {"fault elsewhere", kSource, kDest, FALSE, 0, "CopyFileA *\\other.dll 112\n", 0},
        {"fault on the path as Windows folds it", kSource,
         "C:\\windows\\system32\\..\\SYSTEM32\\\\.\\a.dll", FALSE, 0,
         "CopyFileA C:\\windows\\system32\\a.dll 112\n", 112},
        {"fault on the path as given", kSource, "C:\\windows\\system32\\..\\system32\\a.dll",
         FALSE, 0, "CopyFileA *\\..\\* 112\n", 112},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Put(kSource, "new");
        Put(kDest, "old");
        SetFileAttributesA(kDest, row.destAttributes ? row.destAttributes : FILE_ATTRIBUTE_NORMAL);
        WriteFaults(row.faults);
        EXPECT_EQ(ErrorOf(CopyFileA(row.source, row.dest, row.failIfExists)), row.error);
        EXPECT_EQ(Content(kDest), row.error ? "old" : "new");
        EXPECT_EQ(Content(kSource), "new");
    }
}

TEST_F(FilesEmulation, ReadOnlyRefusesChangesUntilReset) {
    Put(kSource, "new");
    Put(kDest, "old");
    ASSERT_TRUE(SetFileAttributesA(kDest, FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ErrorOf(CopyFileA(kSource, kDest, FALSE)), 5u);
    EXPECT_EQ(ErrorOf(DeleteFileA(kDest)), 5u);
    EXPECT_EQ(ErrorOf(MoveFileExA(kSource, kDest, MOVEFILE_REPLACE_EXISTING)), 5u);
    EXPECT_EQ(CreateFileA(kDest, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(Content(kDest), "old");

    ASSERT_TRUE(SetFileAttributesA(kDest, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(kDest), DWORD{FILE_ATTRIBUTE_NORMAL});
    EXPECT_TRUE(CopyFileA(kSource, kDest, FALSE));
    EXPECT_TRUE(DeleteFileA(kDest));
    EXPECT_FALSE(fs::exists(OnDriveC(kDest)));
}

TEST_F(FilesEmulation, AttributesAreTheMachinesOwn) {
    Put("C:\\data\\file.txt", "x");
    fs::path outside = root_.parent_path() / "outside.txt";
    WriteHostFile(outside, "x", 0);
    const std::string windowsOutside = "Z:" + outside.string();
    struct Row {
        const char* name;
        std::string setPath;
        DWORD set;  // 0: never set
        std::string getPath;
        DWORD attributes;
        DWORD error;
    };
    const Row rows[] = {
        {"file never set", "", 0, "C:\\data\\file.txt", FILE_ATTRIBUTE_ARCHIVE, 0},
        {"directory never set", "", 0, "C:\\data", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"normal", "C:\\data\\file.txt", FILE_ATTRIBUTE_NORMAL, "c:\\DATA\\FILE.TXT",
         FILE_ATTRIBUTE_NORMAL, 0},
        {"normal beside others is dropped", "C:\\data\\file.txt", 0x81, "C:\\data\\file.txt", 0x1,
         0},
        {"directory bit is not settable", "C:\\data\\file.txt", 0x12, "C:\\data\\file.txt", 0x2, 0},
        {"hidden directory", "C:\\data", FILE_ATTRIBUTE_HIDDEN, "C:\\data", 0x12, 0},
        {"outside the machine, by host path", outside.string(), FILE_ATTRIBUTE_READONLY,
         windowsOutside, FILE_ATTRIBUTE_READONLY, 0},
        {"missing file", "", 0, "C:\\data\\none.txt", INVALID_FILE_ATTRIBUTES, 2},
        {"missing directory", "", 0, "C:\\none\\file.txt", INVALID_FILE_ATTRIBUTES, 3},
        {"set on a missing file", "C:\\data\\none.txt", FILE_ATTRIBUTE_HIDDEN, "C:\\data\\none.txt",
         INVALID_FILE_ATTRIBUTES, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.set) SetFileAttributesA(row.setPath.c_str(), row.set);
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesA(row.getPath.c_str()), row.attributes);
        EXPECT_EQ(GetLastError(), row.error);
    }
}

TEST_F(FilesEmulation, WholeFileLockOfAnotherProcessRefusesChangesNotReading) {
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared" : "exclusive");
        Put(kSource, "new");
        Put(kDest, "in use");
        {
            FlockProcess holder(OnDriveC(kDest), shared);
            ASSERT_TRUE(FlockVisible(OnDriveC(kDest))) << "needs flock(1) on PATH";
            EXPECT_EQ(ErrorOf(CopyFileA(kSource, kDest, FALSE)), 32u);
            EXPECT_EQ(ErrorOf(DeleteFileA(kDest)), 32u);
            EXPECT_EQ(ErrorOf(MoveFileExA(kSource, kDest, MOVEFILE_REPLACE_EXISTING)), 32u);
            EXPECT_EQ(Content(kDest), "in use");

            // Held without sharing, it can't even be read, a copy's source included.
            EXPECT_EQ(ErrorOf(CopyFileA(kDest, "C:\\dist\\copy.dll", FALSE)), shared ? 0u : 32u);
            HANDLE file = CreateFileA(kDest, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(file != INVALID_HANDLE_VALUE, shared);
            if (file != INVALID_HANDLE_VALUE) {
                char buffer[16] = {};
                DWORD read = 0;
                EXPECT_TRUE(::ReadFile(file, buffer, sizeof buffer, &read, nullptr));
                EXPECT_EQ(std::string(buffer, read), "in use");
                CloseHandle(file);
            } else {
                EXPECT_EQ(GetLastError(), 32u);
            }
        }
        EXPECT_TRUE(CopyFileA(kSource, kDest, FALSE)) << "free again";
    }
}

TEST_F(FilesEmulation, ByteRangeLockOfAnotherProcessGivesLockViolation) {
    Put(kSource, "new");
    Put(kDest, std::string(40, 'o'));
    {
        RangeLockProcess holder(OnDriveC(kDest));
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(ErrorOf(CopyFileA(kSource, kDest, FALSE)), 33u);
        EXPECT_EQ(ErrorOf(DeleteFileA(kDest)), 32u);
        HANDLE file = CreateFileA(kDest, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(file, "before", 6, &written, nullptr)) << "outside the range";
        EXPECT_EQ(ErrorOf(::WriteFile(file, "into the range", 14, &written, nullptr)), 33u);
        CloseHandle(file);
        EXPECT_EQ(Content(kDest), "before" + std::string(34, 'o'));

        EXPECT_EQ(ErrorOf(CopyFileA(kDest, "C:\\dist\\copy.dll", FALSE)), 33u) << "as a source";
        file = CreateFileA(kDest, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        char buffer[40];
        DWORD read = 0;
        EXPECT_TRUE(::ReadFile(file, buffer, 10, &read, nullptr)) << "before the range";
        EXPECT_EQ(ErrorOf(::ReadFile(file, buffer, 10, &read, nullptr)), 33u);
        CloseHandle(file);
    }
    EXPECT_TRUE(CopyFileA(kSource, kDest, FALSE));
}

TEST_F(FilesEmulation, ShareModeOfAnOpenHandleBindsOtherProcesses) {
    struct Row {
        const char* name;
        DWORD share;
        DWORD otherCopy;
        DWORD access = GENERIC_READ;
    };
    const Row rows[] = {
        {"shares nothing", 0, 32},
        {"shares reading", FILE_SHARE_READ, 32},
        {"shares writing", FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
        {"writes, shares reading", FILE_SHARE_READ, 32, GENERIC_READ | GENERIC_WRITE},
        {"writes, shares writing", FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
         GENERIC_READ | GENERIC_WRITE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Put(kSource, "new");
        Put(kDest, "old");
        HANDLE file =
            CreateFileA(kDest, row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(InOtherProcess([] { return CopyFileA(kSource, kDest, FALSE); }), row.otherCopy);
        EXPECT_TRUE(CloseHandle(file));
        EXPECT_EQ(InOtherProcess([] { return CopyFileA(kSource, kDest, FALSE); }), 0u) << "closed";
    }
}

TEST_F(FilesEmulation, CreateFileDispositionsAsWindowsAnswersThem) {
    struct Row {
        const char* name;
        const char* path;
        DWORD access;
        DWORD disposition;
        bool opens;
        DWORD error;          // GetLastError() afterwards, also on success
        const char* content;  // afterwards; null: no file
    };
    const Row rows[] = {
        {"open a missing file", "C:\\data\\none.txt", GENERIC_READ, OPEN_EXISTING, false, 2,
         nullptr},
        {"in a missing directory", "C:\\none\\x.txt", GENERIC_WRITE, CREATE_ALWAYS, false, 3,
         nullptr},
        {"create new over a file", "C:\\data\\old.txt", GENERIC_WRITE, CREATE_NEW, false, 80,
         "old"},
        {"create always over a file", "C:\\data\\old.txt", GENERIC_WRITE, CREATE_ALWAYS, true, 183,
         ""},
        {"open always, missing", "C:\\data\\new.txt", GENERIC_WRITE, OPEN_ALWAYS, true, 0, ""},
        {"open always, there", "C:\\data\\old.txt", GENERIC_READ, OPEN_ALWAYS, true, 183, "old"},
        {"a directory", "C:\\data", GENERIC_READ, OPEN_EXISTING, false, 5, nullptr},
        {"truncate, reading only", "C:\\data\\old.txt", GENERIC_READ, TRUNCATE_EXISTING, false, 87,
         "old"},
        {"truncate a missing file, no access", "C:\\data\\none.txt", 0, TRUNCATE_EXISTING, false,
         87, nullptr},
        {"truncate", "C:\\data\\old.txt", GENERIC_WRITE, TRUNCATE_EXISTING, true, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(OnDriveC("C:\\data\\new.txt"));
        Put("C:\\data\\old.txt", "old");
        HANDLE file = CreateFileA(row.path, row.access, 0, nullptr, row.disposition, 0, nullptr);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, row.opens);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (row.content) {
            EXPECT_EQ(Content(row.path), row.content);
        }
    }
}

// The calls that open a file for a moment meet its holders as Windows' own
// opens do: a copy reads its source sharing all and writes its destination
// sharing reading and writing; a deletion or a move takes it sharing all.
TEST_F(FilesEmulation, CallsOnAHeldFileAsWindowsAnswersThem) {
    const DWORD kRead = FILE_SHARE_READ, kWrite = FILE_SHARE_WRITE, kDelete = FILE_SHARE_DELETE;
    const DWORD kAll = kRead | kWrite | kDelete;
    enum Call { CopyFrom, CopyOnto, Delete, MoveAway, MoveOnto };
    struct Row {
        const char* name;
        Call call;
        DWORD access, share;
        DWORD error;
    };
    const Row rows[] = {
        {"copy from a file read sharing writing only", CopyFrom, GENERIC_READ, kWrite, 32},
        {"copy from a file written sharing reading", CopyFrom, GENERIC_READ | GENERIC_WRITE, kRead,
         0},
        {"copy from a file being deleted sharing reading", CopyFrom, DELETE, kRead, 0},
        {"copy onto a file written sharing reading", CopyOnto, GENERIC_WRITE, kRead, 32},
        {"copy onto a file written sharing writing", CopyOnto, GENERIC_READ | GENERIC_WRITE,
         kWrite, 0},
        {"copy onto a file held for deletion sharing all", CopyOnto, DELETE, kAll, 32},
        {"copy onto a file read sharing reading", CopyOnto, GENERIC_READ, kRead, 32},
        {"copy onto a file read sharing reading and writing", CopyOnto, GENERIC_READ,
         kRead | kWrite, 0},
        {"delete a file read sharing deletion", Delete, GENERIC_READ, kRead | kDelete, 0},
        {"delete a file read sharing reading", Delete, GENERIC_READ, kRead, 32},
        {"delete a file held with no access", Delete, 0, 0, 0},
        {"move a file held for deletion sharing nothing", MoveAway, DELETE, 0, 32},
        {"move a file held with no access sharing nothing", MoveAway, 0, 0, 0},
        {"move a file read sharing all", MoveAway, GENERIC_READ, kAll, 0},
        {"move onto a file held for deletion sharing nothing", MoveOnto, DELETE, 0, 32},
        {"move onto a file held with no access sharing nothing", MoveOnto, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(OnDriveC("C:\\dist\\moved.dll"));
        Put(kSource, "new");
        Put(kDest, "old");
        const bool holdsSource = row.call == CopyFrom || row.call == MoveAway;
        const char* held = holdsSource ? kSource : kDest;
        HANDLE holder =
            CreateFileA(held, row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
        BOOL done = FALSE;
        switch (row.call) {
            case CopyFrom:
            case CopyOnto: done = CopyFileA(kSource, kDest, FALSE); break;
            case Delete: done = DeleteFileA(kDest); break;
            case MoveAway: done = MoveFileExA(kSource, "C:\\dist\\moved.dll", 0); break;
            case MoveOnto: done = MoveFileExA(kSource, kDest, MOVEFILE_REPLACE_EXISTING); break;
        }
        EXPECT_EQ(ErrorOf(done), row.error);
        if (row.call == Delete) {
            EXPECT_EQ(fs::exists(OnDriveC(kDest)), row.error != 0);
            // The holder keeps the file until it closes it.
            char buffer[8] = {};
            DWORD read = 0;
            if (row.access & GENERIC_READ) {
                EXPECT_TRUE(::ReadFile(holder, buffer, sizeof buffer, &read, nullptr));
                EXPECT_EQ(std::string(buffer, read), "old");
            }
        } else if (row.call == MoveAway) {
            EXPECT_EQ(fs::exists(OnDriveC(kSource)), row.error != 0);
        } else {
            EXPECT_EQ(Content(kDest), row.error ? "old" : "new");
        }
        EXPECT_TRUE(CloseHandle(holder));
    }
}

// Names that Windows refuses before it looks for the file, and what it
// answers for a folder named as a file.
TEST_F(FilesEmulation, PathsWindowsRefusesAsItRefusesThem) {
    auto open = [](const char* path, DWORD disposition) {
        return [path, disposition] {
            HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                      0, nullptr);
            return file != INVALID_HANDLE_VALUE && CloseHandle(file);
        };
    };
    auto find = [](const char* path) {
        return [path] {
            WIN32_FIND_DATAA data;
            HANDLE search = FindFirstFileA(path, &data);
            return search != INVALID_HANDLE_VALUE && FindClose(search);
        };
    };
    const std::tuple<const char*, std::function<BOOL()>, DWORD> rows[] = {
        {"wildcards in a name to create", open("C:\\data\\wild?.*", CREATE_ALWAYS), 123},
        {"wildcards in a name to move to",
         [] { return MoveFileExA("C:\\data\\old.txt", "C:\\data\\wild?.*", 0); }, 123},
        {"wildcards in a name to copy to",
         [] { return CopyFileA("C:\\data\\old.txt", "C:\\data\\*.txt", FALSE); }, 123},
        {"everything in the root, to open", open("C:\\*.*", OPEN_EXISTING), 123},
        {"the drive twice", open("C:C:\\windows", OPEN_EXISTING), 123},
        {"a folder with a separator at its end", open("C:\\data\\", OPEN_EXISTING), 3},
        {"the root", open("C:\\", OPEN_EXISTING), 3},
        {"the root in the file namespace", open("\\\\?\\C:\\", OPEN_EXISTING), 3},
        {"a file in the file namespace", open("\\\\?\\C:\\data\\old.txt", OPEN_EXISTING), 0},
        {"search for the root", find("C:\\"), 2},
        {"search in a folder for nothing", find("C:\\data\\"), 2},
        {"search in a missing folder", find("C:\\none\\"), 3},
    };
    for (const auto& [name, call, error] : rows) {
        SCOPED_TRACE(name);
        fs::remove_all(OnDriveC("C:\\data"));
        Put("C:\\data\\old.txt", "old");
        EXPECT_EQ(ErrorOf(call()), error);
        std::vector<std::string> made;
        for (const auto& entry : fs::directory_iterator(OnDriveC("C:\\data")))
            made.push_back(entry.path().filename());
        EXPECT_EQ(made, std::vector<std::string>{"old.txt"}) << "nothing made, nothing moved";
    }
}

// A replacing move takes the last name as given, also at the restart.
TEST_F(FilesEmulation, ReplacingMoveOntoANameInOtherCaseTakesTheNameGiven) {
    for (DWORD flags : {DWORD{MOVEFILE_REPLACE_EXISTING},
                        DWORD{MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT}}) {
        SCOPED_TRACE(flags);
        fs::remove_all(OnDriveC("C:\\dist"));
        Put(kSource, "new");
        Put("C:\\dist\\b.dll", "old");
        ASSERT_TRUE(MoveFileExA(kSource, "C:\\DIST\\B.DLL", flags)) << GetLastError();
        if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) emu::RestartMachine(root_);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(OnDriveC("C:\\dist")))
            names.push_back(entry.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"B.DLL"});
        EXPECT_EQ(Content("C:\\dist\\B.DLL"), "new");
    }
}

TEST_F(FilesEmulation, FindFirstFileGivesTimeTo100NanosecondsAndLargeSizes) {
    Put("C:\\data\\big.bin", "");
    fs::path host = OnDriveC("C:\\data\\big.bin");
    fs::resize_file(host, 0x140000000ull);
    const timespec times[2] = {{1700000000, 0}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, host.c_str(), times, 0), 0);

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("C:\\data\\big.bin", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    const uint64_t ticks = (1700000000ull + 11644473600ull) * 10000000ull + 1234567ull;
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, static_cast<DWORD>(ticks));
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, static_cast<DWORD>(ticks >> 32));
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 0x40000000u);
    EXPECT_EQ(data.dwFileAttributes, DWORD{FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(emu::OutstandingResources(), 1u);
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(ErrorOf(FindClose(find)), 6u);

    EXPECT_EQ(FindFirstFileA("C:\\data\\none.bin", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(FindFirstFileA("C:\\none\\big.bin", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 3u);

    const FILETIME earlier{0xFFFFFFFF, 1}, later{0, 2};
    EXPECT_EQ(CompareFileTime(&earlier, &later), -1);
    EXPECT_EQ(CompareFileTime(&later, &earlier), 1);
    EXPECT_EQ(CompareFileTime(&later, &later), 0);
}

TEST_F(FilesEmulation, ImmediateMovesRenameAndTakeAttributesAlong) {
    struct Row {
        const char* name;
        bool destExists;
        DWORD destAttributes;
        DWORD flags;
        DWORD error;
    };
    const Row rows[] = {
        {"to a new name", false, 0, 0, 0},
        {"over a file, no replace", true, 0, 0, 183},
        {"over a file", true, 0, MOVEFILE_REPLACE_EXISTING, 0},
        {"over a read-only file", true, FILE_ATTRIBUTE_READONLY, MOVEFILE_REPLACE_EXISTING, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(OnDriveC(kDest));
        Put(kSource, "new");
        SetFileAttributesA(kSource, FILE_ATTRIBUTE_HIDDEN);
        if (row.destExists) Put(kDest, "old");
        if (row.destExists)
            SetFileAttributesA(kDest, row.destAttributes ? row.destAttributes : 0x80);
        EXPECT_EQ(ErrorOf(MoveFileExA(kSource, kDest, row.flags)), row.error);
        EXPECT_EQ(fs::exists(OnDriveC(kSource)), row.error != 0);
        if (!row.error) {
            EXPECT_EQ(GetFileAttributesA(kDest), DWORD{FILE_ATTRIBUTE_HIDDEN});
        }
    }
    EXPECT_EQ(ErrorOf(MoveFileExA("C:\\dist\\none.dll", kDest, 1)), 2u);
    EXPECT_TRUE(MoveFileExA(kSource, "C:\\DIST\\A.Dll", 0)) << "another case of its name";
    EXPECT_EQ(fs::directory_iterator(OnDriveC("C:\\dist"))->path().filename(), "A.Dll");
}

TEST_F(FilesEmulation, EveryFileCallAnswersItsFault) {
    static const char kTarget[] = "C:\\data\\target.txt";
    Put(kTarget, "target");
    Put("C:\\data\\x.txt", "x");
    WIN32_FIND_DATAA data;
    const std::pair<const char*, std::function<bool()>> rows[] = {
        {"FindFirstFileA", [&] { return FindFirstFileA(kTarget, &data) != INVALID_HANDLE_VALUE; }},
        {"GetFileAttributesA",
         [] { return GetFileAttributesA(kTarget) != INVALID_FILE_ATTRIBUTES; }},
        {"SetFileAttributesA", [] { return SetFileAttributesA(kTarget, 0x80) != 0; }},
        {"CopyFileA", [] { return CopyFileA("C:\\data\\x.txt", kTarget, FALSE) != 0; }},
        {"MoveFileExA", [] { return MoveFileExA("C:\\data\\x.txt", kTarget, 1) != 0; }},
        {"DeleteFileA", [] { return DeleteFileA(kTarget) != 0; }},
        {"CreateDirectoryA", [] { return CreateDirectoryA("C:\\data\\target.d", nullptr) != 0; }},
        {"CreateFileA",
         [] { return CreateFileA(kTarget, 0, 0, nullptr, 3, 0, nullptr) != INVALID_HANDLE_VALUE; }},
    };
    for (const auto& [function, call] : rows) {
        SCOPED_TRACE(function);
        WriteFaults(std::string(function) + " C:\\DATA\\TARGET* 1234\n");
        SetLastError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(GetLastError(), 1234u);
    }
    EXPECT_EQ(Content(kTarget), "target");
}

// A folder under C:\ whose files of 5-character names have paths of exactly
// `length` characters.
std::string FolderForPathsOf(size_t length) {
    std::string folder = "C:";
    while (folder.size() + 6 < length) {
        size_t room = length - 6 - folder.size();
        folder += "\\" + std::string(room > 101 ? 100 : room - 1, 'd');
    }
    return folder;
}

// Windows counts the NUL in MAX_PATH; Wine lets one more character through.
TEST_F(FilesEmulation, EightBitCallsRefuseAPathOfMaxPathCharactersOrMore) {
    for (size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        const std::string folder = FolderForPathsOf(length);
        const std::string file = folder + "\\f.txt", other = folder + "\\g.txt";
        ASSERT_EQ(file.size(), length);
        Put(file, "long");
        Put(kSource, "short");
        const DWORD error = length < MAX_PATH ? 0 : 206;
        WIN32_FIND_DATAA data;
        const std::pair<const char*, std::function<BOOL()>> rows[] = {
            {"GetFileAttributesA",
             [&] { return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES; }},
            {"SetFileAttributesA", [&] { return SetFileAttributesA(file.c_str(), 0x80); }},
            {"FindFirstFileA",
             [&] {
                 HANDLE find = FindFirstFileA(file.c_str(), &data);
                 return find != INVALID_HANDLE_VALUE && FindClose(find);
             }},
            {"CreateFileA",
             [&] {
                 HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
                 return h != INVALID_HANDLE_VALUE && CloseHandle(h);
             }},
            {"CopyFileA from it", [&] { return CopyFileA(file.c_str(), kDest, FALSE); }},
            {"CopyFileA onto it", [&] { return CopyFileA(kSource, other.c_str(), FALSE); }},
            {"MoveFileExA from it at restart",
             [&] { return MoveFileExA(file.c_str(), kDest, MOVEFILE_DELAY_UNTIL_REBOOT); }},
            {"MoveFileExA onto it at restart",
             [&] { return MoveFileExA(kSource, other.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT); }},
            {"CreateDirectoryA", [&] { return CreateDirectoryA(other.c_str(), nullptr); }},
            {"DeleteFileA", [&] { return DeleteFileA(file.c_str()); }},
        };
        for (const auto& [call, run] : rows) {
            SetLastError(0);
            EXPECT_EQ(ErrorOf(run()), error) << call;
            fs::remove(OnDriveC(other));
        }
        EXPECT_EQ(fs::exists(OnDriveC(file)), error != 0);
    }
}

// A copy takes the source's attributes, and the archive attribute with them.
TEST_F(FilesEmulation, CopyGivesTheSourcesAttributesAndArchive) {
    const std::pair<DWORD, DWORD> rows[] = {
        {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
    };
    for (const auto& [source, copied] : rows) {
        SCOPED_TRACE(source);
        Put(kSource, "new");
        fs::remove(OnDriveC(kDest));
        ASSERT_TRUE(SetFileAttributesA(kSource, source));
        ASSERT_TRUE(CopyFileA(kSource, kDest, FALSE)) << GetLastError();
        EXPECT_EQ(GetFileAttributesA(kDest), copied);
        SetFileAttributesA(kSource, FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesA(kDest, FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(FilesEmulation, CurrentDirectoryInItsWindowsForm) {
    InDirectory windows(OnDriveC("C:\\windows"));
    char buffer[64];
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), 11u);
    EXPECT_EQ(GetCurrentDirectoryA(10, buffer), 11u) << "no room for the NUL";
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 10u);
    EXPECT_STREQ(buffer, "C:\\windows");
}

}  // namespace
