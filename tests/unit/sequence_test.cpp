#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files/files.h"
#include "fixture.h"
#include "held_file.h"
#include "main/settings.h"
#include "platform/emulation.h"
#include "upgrade/upgrade.h"

namespace {

namespace fs = std::filesystem;

constexpr long long kShipped = 1650000000;

// Whether text is that many waits for a program, as RunAndWait prints them:
// each a line feed, from `least` to `most` dots, a line feed.
bool Waits(const std::string& text, int waits, size_t least, size_t most) {
    size_t at = 0;
    for (int wait = 0; wait < waits; ++wait) {
        if (text.compare(at, 1, "\n") != 0) return false;
        size_t dots = text.find_first_not_of('.', ++at);
        if (dots == std::string::npos || dots - at < least || dots - at > most) return false;
        at = dots;
        if (text.compare(at++, 1, "\n") != 0) return false;
    }
    return at == text.size();
}

class Sequence : public StandinTest {
protected:
    void SetUp() override {
        StandinTest::SetUp();
        bUnattended = 1;
        // A pause of 500 s outlasts any program that ends, however loaded
        // the host: each wait holds one dot at most.
        ScaleClock("100");
    }
    // The staging directory as staging leaves it, the service program being
    // the stand-in so that its install command runs.
    void Stage(bool withService = true) {
        for (const char* name : {"VLQSPW.DLL", "VLQSPW32.DLL", "VLQSPREM.EXE"})
            WriteHostFile(Staged(name), std::string("new ") + name, kShipped);
        if (withService) fs::copy_file(VTN2_STANDIN_PATH, Staged("VLQSPSVC.EXE"));
    }
    // The old software: its programs and its restart service's keys.
    void InstallOldSoftware() {
        InstallStandin("vlqwdzsv.exe");
        InstallStandin("VLQSPSVC.EXE");
        WriteHostFile(System("VLQSPREM.EXE"), "old remover", kShipped - 1000);
        ImportReg(
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vlqwdzsv\\Enum]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vlqwdzex]\n");
    }
    fs::path Staged(const std::string& name) const {
        return OnDriveC("C:\\windows\\system32\\drivers\\vtn2") / name;
    }
    int Upgrade() {
        int result = -1;
        output_ = Capture([&] { result = UpgradeDrivers(); });
        return result;
    }
    // The programs started, the files copied and the keys deleted, in order.
    static std::vector<std::string> Steps() {
        std::vector<std::string> out;
        for (const std::string& call : emu::CallLog()) {
            if (call.rfind("CreateProcessA", 0) == 0 || call.rfind("CopyFileA", 0) == 0 ||
                call.rfind("RegDeleteKeyA", 0) == 0)
                out.push_back(call);
        }
        return out;
    }
    std::string output_;
};

TEST_F(Sequence, RunsTheProgramsAndRestoresInOrder) {
    InstallOldSoftware();
    Stage();
    EXPECT_EQ(Upgrade(), 1) << "the key its removal program left was purged";
    const std::string sys = "C:\\windows\\system32\\";
    const std::vector<std::string> restore = {"CopyFileA " + sys + "VLQSPREM.EXE",
                                              "CopyFileA " + sys + "VLQSPSVC.EXE"};
    std::vector<std::string> expected = {"CreateProcessA \"" + sys + "vlqwdzsv.exe\" -remove"};
    expected.insert(expected.end(), restore.begin(), restore.end());
    // Purged only once the old restart service's removal program has run.
    expected.push_back("RegDeleteKeyA HKLM\\SYSTEM\\CurrentControlSet\\Services\\vlqwdzex");
    expected.push_back("CreateProcessA \"" + sys + "vlqspsvc.exe\" -remove");
    expected.insert(expected.end(), restore.begin(), restore.end());
    for (const char* name : {"VLQSPW.DLL", "VLQSPREM.EXE", "VLQSPSVC.EXE"})
        expected.push_back("CopyFileA " + sys + name);
    expected.push_back("CopyFileA " + sys + "..\\sysWOW64\\VLQSPW.DLL");
    expected.push_back("CreateProcessA \"" + sys + "vlqspsvc.exe\" -install -VTN2");
    EXPECT_EQ(Steps(), expected);
    EXPECT_EQ(StandinLog(), (std::vector<std::string>{"VLQWDZSV.EXE -remove",
                                                      "VLQSPSVC.EXE -remove",
                                                      "VLQSPSVC.EXE -install -VTN2"}));
    EXPECT_EQ(ReadHostFile(System("VLQSPW.DLL")), "new VLQSPW.DLL");
    EXPECT_EQ(ReadHostFile(System("VLQSPREM.EXE")), "new VLQSPREM.EXE");
    EXPECT_EQ(ReadHostFile(OnDriveC("C:\\windows\\syswow64\\VLQSPW.DLL")), "new VLQSPW32.DLL");
    EXPECT_TRUE(Waits(output_, 3, 0, 1)) << output_;
}

TEST_F(Sequence, MissingRemovalProgramsArePassedOverInSilence) {
    Stage();
    EXPECT_EQ(Upgrade(), 0);
    std::vector<std::string> starts;
    for (const std::string& call : Steps()) {
        if (call.rfind("CreateProcessA", 0) == 0) starts.push_back(call);
    }
    EXPECT_EQ(starts.size(), 3u) << "all three tried";
    EXPECT_EQ(Steps().size(), 3u + 4u) << "no restores, the four copies";
    EXPECT_EQ(StandinLog(), std::vector<std::string>{"VLQSPSVC.EXE -install -VTN2"});
    EXPECT_TRUE(Waits(output_, 1, 0, 1))
        << "only the install command was waited for: " << output_;
}

struct FoldRow {
    const char* name;
    bool oldKeys;
    const char* missingStaged;
    bool holdService;
    int result;
};

TEST_F(Sequence, FoldsThePurgeAndEveryCopyIntoOneResult) {
    const FoldRow rows[] = {
        {"nothing but copies", false, nullptr, false, 0},
        {"a service key deleted", true, nullptr, false, 1},
        {"a file in use", false, nullptr, true, 1},
        {"a failed copy", false, "VLQSPW.DLL", false, 2},
        {"a failed copy and a file in use", true, "VLQSPW.DLL", true, 2},
        {"the last copy failing", false, "VLQSPW32.DLL", false, 2},
    };
    for (const FoldRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Stage(false);
        WriteHostFile(Staged("VLQSPSVC.EXE"), "new service", kShipped);
        if (row.oldKeys)
            ImportReg("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vlqwdzsv]\n");
        if (row.missingStaged) fs::remove(Staged(row.missingStaged));
        std::unique_ptr<HeldFile> held;
        if (row.holdService) {
            WriteHostFile(System("VLQSPSVC.EXE"), "running service", kShipped - 1);
            held = std::make_unique<HeldFile>(System("VLQSPSVC.EXE"), HeldFile::WholeShared);
        }
        EXPECT_EQ(Upgrade(), row.result);
        if (row.holdService) {
            EXPECT_EQ(ReadHostFile(System("VLQSPSVC.EXE")), "running service");
        }
        EXPECT_EQ(ReadHostFile(OnDriveC("C:\\windows\\syswow64\\VLQSPW.DLL")),
                  row.missingStaged && std::string(row.missingStaged) == "VLQSPW32.DLL"
                      ? ""
                      : "new VLQSPW32.DLL")
            << "the copies go on after a failure";
    }
}

TEST_F(Sequence, SystemDirectoryLostOnTheWayFailsTheCopiesAndStartsNothing) {
    Stage();
    // Every read of the system directory from here on fails.
    WriteFaults("GetSystemDirectoryA * 5\n");
    EXPECT_EQ(Upgrade(), 2);
    EXPECT_TRUE(Steps().empty());
    EXPECT_EQ(output_, "");
}

TEST_F(Sequence, DeclinedCopyRaisesNothing) {
    Stage();
    WriteHostFile(System("VLQSPW.DLL"), "newer library", kShipped + 1000);
    bUnattended = 0;
    SetInput("n\n");
    EXPECT_EQ(Upgrade(), 0);
    EXPECT_EQ(ReadHostFile(System("VLQSPW.DLL")), "newer library");
}

TEST_F(Sequence, DebugTracesNameBothDirectoriesBeforeTheCopies) {
    Stage();
    wDebug = 1;
    Upgrade();
    const std::string staging = "lpBuffer = >C:\\windows\\system32\\drivers\\vtn2\\<\n";
    EXPECT_NE(output_.find(staging + "lpBuffr2 = >C:\\windows\\system32\\<\n"), std::string::npos);
    EXPECT_NE(output_.find(staging + "lpBuffr2 = >C:\\windows\\system32\\..\\sysWOW64\\<\n"),
              std::string::npos);
    bMessages = 0;
    Upgrade();
    EXPECT_EQ(output_, "") << "no traces, no waiting marks without messages";
}

class Wait : public StandinTest {
protected:
    // Kills the program of that name in the system directory once the
    // output captured from standard output holds that many dots after its
    // newline; on its own after 20 s.
    void EndProgramAfterDots(const std::string& name, off_t dots) const {
        const fs::path program = System(name);
        pid_t pid = -1;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            if (pid < 0) {
                pid = ProcessOf(program);
                continue;
            }
            struct stat out {};
            if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) && out.st_size >= 1 + dots)
                break;
        }
        if (pid > 0) kill(pid, SIGKILL);
    }
    void EndProgram(const std::string& name) const {
        pid_t pid = ProcessOf(System(name));
        if (pid > 0) kill(pid, SIGKILL);
    }
    std::string Run(const std::string& settings, int* started = nullptr) {
        InstallStandin("VLQSPSVC.EXE");
        ConfigureStandins(settings);
        char commandLine[] = "\"C:\\windows\\system32\\VLQSPSVC.EXE\" -install -VTN2";
        int result = -1;
        std::string out = Capture([&] { result = RunAndWait(commandLine); });
        if (started) *started = result;
        return out;
    }
};

TEST_F(Wait, EndsWhenTheProgramDoes) {
    ScaleClock("100");  // a pause of 500 s, unless it ends with the program
    int started = 0;
    auto start = std::chrono::steady_clock::now();
    std::string out = Run("", &started);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(250))
        << "a pause ends as soon as the program has ended";
    EXPECT_TRUE(Waits(out, 1, 0, 1)) << out;
    EXPECT_EQ(started, 1);
}

// The program would outlast the sixty pauses; the test ends it once two dots
// are out, and the waiting ends with it, long before the sixtieth pause
// (57 pauses of 250 ms after the second dot).
TEST_F(Wait, DotBeforeEachPauseWhileTheProgramRuns) {
    ScaleClock("0.05");
    std::thread ender([this] { EndProgramAfterDots("VLQSPSVC.EXE", 2); });
    std::string out = Run("run-ms 2000000\n");
    ender.join();
    EXPECT_TRUE(Waits(out, 1, 2, 59)) << out;
}

TEST_F(Wait, GivesUpAfterSixtyPauses) {
    ScaleClock("0.001");  // the program runs 71 minutes, which no load stretches 60 pauses to
    EXPECT_EQ(Run("run-ms 4294967294\n"), "\n" + std::string(60, '.') + "\n");
    EndProgram("VLQSPSVC.EXE");
}

TEST_F(Wait, SilentWithoutMessages) {
    bMessages = 0;
    ScaleClock("0.001");
    EXPECT_EQ(Run("run-ms 20000\n"), "");
}

TEST_F(Wait, ProgramThatCannotStartIsNotWaitedFor) {
    char commandLine[] = "\"C:\\windows\\system32\\vlqwdzsv.exe\" -remove";
    std::string out = Capture([&] { EXPECT_EQ(RunAndWait(commandLine), 0); });
    EXPECT_EQ(out, "");
}

}  // namespace
