#include "files/files.h"
#include "fixture.h"
#include "held_file.h"
#include "main/settings.h"

#include <functional>
#include <memory>

namespace {

namespace fs = std::filesystem;

constexpr long long kOld = 1600000000;
constexpr long long kNew = 1700000000;
const std::string kQuestion = "Do you want to copy anyway? (y/n):\n";
const std::string kNotice =
    "\nC:\\dist\\VLQSPW.DLL is older than C:\\windows\\system32\\VLQSPW.DLL.\n";

std::vector<std::string> PendingMoves() {
    HKEY key = nullptr;
    std::vector<std::string> moves;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != 0)
        return moves;
    char data[4096];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(data), &size) == 0) {
        for (const char* p = data; p < data + size && *p; p += strlen(p) + 1) moves.push_back(p);
    }
    RegCloseKey(key);
    return moves;
}

class GuardedCopy : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        source_ = OnDriveC("C:\\dist\\VLQSPW.DLL");
        dest_ = OnDriveC("C:\\windows\\system32\\VLQSPW.DLL");
    }
    int Copy(int unattended = 0, const char* destName = "VLQSPW.DLL") {
        int result = -1;
        output_ = Capture([&] {
            result = InstallFile("C:\\dist\\", "C:\\windows\\system32\\", "VLQSPW.DLL", destName,
                                 unattended);
        });
        return result;
    }
    std::filesystem::path source_, dest_;
    std::string output_;
};

TEST_F(GuardedCopy, MissingSourceFailsAndTouchesNothing) {
    WriteHostFile(dest_, "installed", kNew);
    SetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL", FILE_ATTRIBUTE_READONLY);
    wDebug = 1;
    EXPECT_EQ(Copy(), COPY_FAILED);
    const std::string traces =
        "CopyFile source = >C:\\dist\\VLQSPW.DLL<\n"
        "CopyFile dest = >C:\\windows\\system32\\VLQSPW.DLL<\n";
    EXPECT_EQ(output_, traces + traces);
    EXPECT_EQ(GetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL"),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

struct AgeRow {
    const char* name;
    long long sourceTime;
    bool destExists;
    const char* input;
    int unattended;
    int messages;
    const char* expectedContent;
    std::string expectedOutput;
};

TEST_F(GuardedCopy, AgeCheckAsksOnlyForAnOlderSource) {
    const AgeRow rows[] = {
        {"destination missing", kOld, false, "", 0, 1, "new", ""},
        {"same age", kNew, true, "", 0, 1, "new", ""},
        {"newer source", kNew + 1, true, "", 0, 1, "new", ""},
        {"older source, answered n", kOld, true, "n\n", 0, 1, "installed", kNotice + kQuestion},
        {"older source, answered y", kOld, true, "y\n", 0, 1, "new", kNotice + kQuestion},
        {"older source, answered cancel", kOld, true, "cancel\n", 0, 1, "new",
         kNotice + kQuestion},
        {"older source, nobody to answer", kOld, true, "", 0, 1, "installed",
         kNotice + kQuestion},
        {"older source, unattended", kOld, true, "n\n", 1, 1, "new", kNotice},
        {"older source, no messages", kOld, true, "n\n", 0, 0, "new", ""},
    };
    for (const AgeRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        WriteHostFile(source_, "new", row.sourceTime);
        if (row.destExists) WriteHostFile(dest_, "installed", kNew);
        SetInput(row.input);
        bMessages = row.messages;
        EXPECT_EQ(Copy(row.unattended), COPY_OK);
        EXPECT_EQ(ReadHostFile(dest_), row.expectedContent);
        EXPECT_EQ(output_, row.expectedOutput);
    }
}

TEST_F(GuardedCopy, DeclinedCopyStillLosesTheReadOnlyAttribute) {
    WriteHostFile(source_, "new", kOld);
    WriteHostFile(dest_, "installed", kNew);
    SetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL",
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetInput("n\n");
    EXPECT_EQ(Copy(), COPY_OK);
    EXPECT_EQ(ReadHostFile(dest_), "installed");
    EXPECT_EQ(GetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL"),
              static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
}

TEST_F(GuardedCopy, AttributesThatCannotBeResetDoNotStopTheCopy) {
    WriteHostFile(source_, "new", kNew);
    WriteHostFile(dest_, "installed", kOld);
    WriteFaults("SetFileAttributesA * 5\n");
    EXPECT_EQ(Copy(), COPY_OK);
    EXPECT_EQ(ReadHostFile(dest_), "new");
}

TEST_F(GuardedCopy, ReadOnlyDestinationIsReplacedAndTakesTheSourcesAttributesAndTime) {
    WriteHostFile(source_, "new", kNew);
    WriteHostFile(dest_, "installed", kOld);
    SetFileAttributesA("C:\\dist\\VLQSPW.DLL", FILE_ATTRIBUTE_ARCHIVE);
    SetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Copy(), COPY_OK);
    EXPECT_EQ(ReadHostFile(dest_), "new");
    EXPECT_EQ(GetFileAttributesA("C:\\windows\\system32\\VLQSPW.DLL"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(CompareFileDates("C:\\dist\\VLQSPW.DLL", "C:\\windows\\system32\\VLQSPW.DLL"), 0);
}

// Held as a server's programs hold a file: what its holder's sharing allows
// is copied at once, the rest replaced at the restart.
TEST_F(GuardedCopy, DestinationInUseIsReplacedAtRestart) {
    struct Row {
        const char* name;
        std::function<std::unique_ptr<HeldFile>(const fs::path&)> hold;
        int result;
    };
    auto locked = [](HeldFile::Lock lock) {
        return [lock](const fs::path& path) { return std::make_unique<HeldFile>(path, lock); };
    };
    auto handle = [](DWORD access, DWORD share) {
        return [access, share](const fs::path& path) {
            return std::make_unique<HeldFile>(path, access, share);
        };
    };
    const Row rows[] = {
        {"shared whole-file lock", locked(HeldFile::WholeShared), COPY_AT_RESTART},
        {"exclusive whole-file lock", locked(HeldFile::WholeExclusive), COPY_AT_RESTART},
        {"byte-range lock", locked(HeldFile::ByteRange), COPY_AT_RESTART},
        {"a scanner reading, sharing all",
         handle(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), COPY_OK},
        {"a backup agent reading, sharing reading", handle(GENERIC_READ, FILE_SHARE_READ),
         COPY_AT_RESTART},
        {"a program writing, sharing reading", handle(GENERIC_WRITE, FILE_SHARE_READ),
         COPY_AT_RESTART},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        WriteHostFile(source_, "new", kNew);
        WriteHostFile(dest_, "installed", kOld);
        std::unique_ptr<HeldFile> held = row.hold(dest_);
        EXPECT_EQ(Copy(), row.result);
        if (row.result == COPY_OK) {
            EXPECT_EQ(ReadHostFile(dest_), "new");
            EXPECT_TRUE(PendingMoves().empty());
            continue;
        }
        EXPECT_EQ(ReadHostFile(dest_), "installed");
        EXPECT_EQ(PendingMoves(), (std::vector<std::string>{
                                      "\\??\\C:\\dist\\VLQSPW.DLL",
                                      "!\\??\\C:\\windows\\system32\\VLQSPW.DLL"}));
    }
}

TEST_F(GuardedCopy, FailuresAreReportedWithTheirCodeWhenDebugging) {
    struct Row {
        const char* name;
        const char* faults;
        bool held;
        std::string trace;
    };
    const Row rows[] = {
        {"access denied", "CopyFileA * 5\n", false, "err = 5, 20, 21\n"},
        {"disk full", "CopyFileA * 112\n", false, "err = 70, 20, 21\n"},
        {"in use, and the move at restart refused", "MoveFileExA * 5\n", true,
         "err = 20, 20, 21\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        WriteHostFile(source_, "new", kNew);
        WriteHostFile(dest_, "installed", kOld);
        WriteFaults(row.faults);
        wDebug = 1;
        std::unique_ptr<HeldFile> held;
        if (row.held) held = std::make_unique<HeldFile>(dest_, HeldFile::WholeShared);
        EXPECT_EQ(Copy(), COPY_FAILED);
        EXPECT_NE(output_.find("CopyFile error on source file = >C:\\dist\\VLQSPW.DLL<, " +
                               row.trace),
                  std::string::npos)
            << output_;
        EXPECT_EQ(ReadHostFile(dest_), "installed");
        EXPECT_TRUE(PendingMoves().empty());
    }
}

TEST_F(GuardedCopy, TwoNameFormComparesWithTheOtherName) {
    WriteHostFile(source_, "new", kOld);
    WriteHostFile(OnDriveC("C:\\windows\\system32\\OTHER.DLL"), "installed", kNew);
    SetInput("n\n");
    EXPECT_EQ(Copy(0, "OTHER.DLL"), COPY_OK);
    EXPECT_EQ(output_,
              "\nC:\\dist\\VLQSPW.DLL is older than C:\\windows\\system32\\OTHER.DLL.\n" +
                  kQuestion);
}

TEST_F(GuardedCopy, PathsAreJoinedAsGiven) {
    WriteHostFile(source_, "new", kNew);
    EXPECT_EQ(InstallFileSameName("C:\\dist", "C:\\windows\\system32\\", "VLQSPW.DLL", 1),
              COPY_FAILED)
        << "C:\\distVLQSPW.DLL is another file";
    const std::string longName(600, 'x');
    EXPECT_EQ(InstallFileSameName("C:\\dist\\", "C:\\windows\\system32\\", longName.c_str(), 1),
              COPY_FAILED);
}

}  // namespace
