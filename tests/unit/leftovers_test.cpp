// A process killed part-way leaves no temporary file for good: the next
// opening of the machine removes those of owners that no longer run, and
// never one whose owner still works on it. Tests cut runs short through
// VTN2_KILL_AT.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "fixture.h"
#include "platform/emu/leftovers.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// The pid of a process that has ended.
std::string DeadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return std::to_string(pid);
}

struct OpenFd {
    explicit OpenFd(int descriptor) : fd(descriptor) {}
    ~OpenFd() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

void Plant(const fs::path& path, const std::string& content = "half a file") {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Another file system than ROOT's, for a destination a rename cannot reach
// from ROOT/tmp; empty when there is none.
fs::path Elsewhere(const fs::path& root) {
    char pattern[] = "/dev/shm/vtn2-test-XXXXXX";
    if (!mkdtemp(pattern)) return {};
    struct stat there {}, here {};
    if (stat(pattern, &there) != 0 || stat(root.c_str(), &here) != 0 ||
        there.st_dev == here.st_dev) {
        fs::remove_all(pattern);
        return {};
    }
    return pattern;
}

class Interrupted : public MachineTest {
protected:
    void TearDown() override {
        if (!elsewhere_.empty()) fs::remove_all(elsewhere_);
        MachineTest::TearDown();
    }
    fs::path elsewhere_;
};

TEST_F(Interrupted, SweepRemovesThoseOfOwnersThatNoLongerRun) {
    elsewhere_ = root_.parent_path() / "elsewhere";
    const std::string dead = DeadPid(), self = std::to_string(getpid());
    const std::string beside = (elsewhere_ / (".vtn2-copy." + dead + ".5.qwerty")).string();
    struct Row {
        const char* name;
        fs::path path;
        std::string content;
        bool kept;
    };
    const Row rows[] = {
        {"the registry's, its owner dead", root_ / ("registry.tmp." + dead), "", false},
        {"another store's, its owner dead", root_ / ("journal.tmp." + dead), "", false},
        {"a store's, its owner running", root_ / ("attributes.tmp." + self), "", true},
        {"a copy's, its owner dead", root_ / "tmp" / ("copy." + dead + ".77.Ab3dEf"), "", false},
        {"a copy's, its pid now another process's",
         root_ / "tmp" / ("copy." + self + ".1.Ab3dEf"), "", false},
        {"a copy's, its start unknown, its pid running",
         root_ / "tmp" / ("copy." + self + ".0.Ab3dEf"), "", true},
        {"a note, its owner dead", root_ / "tmp" / ("away." + dead + ".5.qwerty"), beside, false},
        {"the copy that note names, on another file system", beside, "", false},
        {"a note naming what is not its owner's copy",
         root_ / "tmp" / ("away." + dead + ".5.zzzzzz"), (elsewhere_ / "keep.me").string(), false},
        {"what that note names", elsewhere_ / "keep.me", "", true},
        {"a store's name without a pid", root_ / "registry.tmp.x1", "", true},
        {"a name of no temporary file", root_ / "tmp" / ("other." + dead + ".5.abcdef"), "", true},
        {"a copy's name without its start", root_ / "tmp" / ("copy." + dead), "", true},
        {"a hidden file in ROOT", root_ / (".tmp." + dead), "", true},
    };
    for (const Row& row : rows) Plant(row.path, row.content);
    fs::create_directories(root_ / ("faults.tmp." + dead));
    emu::TempFile working(root_, OnDriveC("C:\\windows\\system32\\a.dll"));
    ASSERT_GE(working.fd(), 0);

    emu::SweepLeftovers(root_);
    for (const Row& row : rows) EXPECT_EQ(fs::exists(row.path), row.kept) << row.name;
    EXPECT_TRUE(fs::is_directory(root_ / ("faults.tmp." + dead))) << "a directory stays";
    EXPECT_TRUE(fs::exists(working.path())) << "a copy its running owner is making stays";
    EXPECT_TRUE(fs::exists(root_ / "registry"));
}

// A store's pid may be taken again by a process that writes the same store:
// only whoever holds the store's lock can tell the temporary file is dead.
TEST_F(Interrupted, StoresTemporaryFileStaysWhileItsLockIsHeld) {
    const fs::path leftover = root_ / ("registry.tmp." + DeadPid());
    Plant(leftover);
    {
        OpenFd lock(open((root_ / "registry.lock").c_str(), O_RDWR | O_CREAT, 0644));
        ASSERT_EQ(flock(lock.fd, LOCK_EX), 0);
        emu::SweepLeftovers(root_);
        EXPECT_TRUE(fs::exists(leftover)) << "taken while a writer held the lock";
    }
    emu::SweepLeftovers(root_);
    EXPECT_FALSE(fs::exists(leftover));
}

TEST_F(Interrupted, OpeningTheMachineSweepsOnce) {
    const fs::path leftover = root_ / ("registry.tmp." + DeadPid());
    Plant(leftover);
    char buffer[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_FALSE(fs::exists(leftover));
    Plant(leftover);
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_TRUE(fs::exists(leftover)) << "swept again in the same process";
}

// Where a copy is made, and that it leaves nothing in either place.
TEST_F(Interrupted, CopyIsMadeInTheMachineOrBesideADestinationElsewhere) {
    elsewhere_ = Elsewhere(root_);
    struct Row {
        const char* name;
        fs::path destination;
    };
    std::vector<Row> rows = {{"on drive C:", OnDriveC("C:\\windows\\system32\\a.dll")}};
    if (!elsewhere_.empty()) rows.push_back({"on another file system", elsewhere_ / "a.dll"});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool inMachine = row.destination.string().rfind(root_.string(), 0) == 0;
        fs::path made;
        {
            emu::TempFile temp(root_, row.destination);
            ASSERT_GE(temp.fd(), 0) << strerror(errno);
            made = temp.path();
            EXPECT_EQ(made.parent_path(), inMachine ? root_ / "tmp" : elsewhere_);
            size_t notes = 0;
            for (const auto& entry : fs::directory_iterator(root_ / "tmp")) {
                std::ifstream note(entry.path());
                std::string named;
                std::getline(note, named);
                notes += named == made.string();
            }
            EXPECT_EQ(notes, inMachine ? 0u : 1u) << "a note names a copy made elsewhere";
        }
        EXPECT_FALSE(fs::exists(made));
        EXPECT_TRUE(fs::is_empty(root_ / "tmp"));

        Plant(OnDriveC("C:\\dist\\a.dll"), "program");
        std::string target = row.destination.string();
        if (inMachine) target = "C:\\windows\\system32\\a.dll";
        ASSERT_TRUE(CopyFileA("C:\\dist\\a.dll", target.c_str(), FALSE)) << GetLastError();
        EXPECT_EQ(ReadHostFile(row.destination), "program");
        std::vector<fs::path> beside;
        for (const auto& entry : fs::directory_iterator(row.destination.parent_path()))
            if (entry.is_regular_file()) beside.push_back(entry.path());
        EXPECT_EQ(beside, std::vector<fs::path>{row.destination});
        EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
    }
    if (elsewhere_.empty()) GTEST_SKIP() << "/dev/shm is on ROOT's file system: one row only";
}

// VTN2_KILL_AT kills the named program as it enters its Nth call, and no other.
TEST_F(Interrupted, KillAtTheNthCallOfTheNamedProgramOnly) {
    struct Row {
        const char* name;
        const char* setting;
        int callsDone;
        bool killed;
    };
    const Row rows[] = {
        {"this program, third call", "call:3 unit_tests*", 2, true},
        {"this program, first call", "call:1 *", 0, true},
        {"another program", "call:3 setup*", 5, false},
        {"no blank", "call:3", 5, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int calls[2];
        ASSERT_EQ(pipe(calls), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(calls[0]);
            emu::ClearCallLog();
            setenv("VTN2_KILL_AT", row.setting, 1);
            char buffer[MAX_PATH];
            for (int i = 0; i < 5; ++i) {
                GetSystemDirectoryA(buffer, sizeof buffer);
                if (write(calls[1], "x", 1) != 1) _exit(2);
            }
            _exit(0);
        }
        close(calls[1]);
        char got[8];
        ssize_t done = 0;
        for (ssize_t n; (n = read(calls[0], got, sizeof got)) > 0;) done += n;
        close(calls[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(done, row.callsDone);
        EXPECT_EQ(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, row.killed);
    }
}

}  // namespace
