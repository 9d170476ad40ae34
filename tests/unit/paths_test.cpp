// Windows paths on the host (platform/emu/paths.cpp), through the file calls
// that take them.
#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

TEST_F(FilesEmulation, NamesMatchWithoutCaseAndKeepTheCaseGiven) {
    struct Row {
        const char* name;
        const char* path;
        DWORD error;
    };
    const Row rows[] = {
        {"new", "C:\\Program Files", 0},
        {"new, trailing backslash", "c:\\PROGRAM FILES\\Veltrane\\", 0},
        {"exists, other case", "C:\\program files\\VELTRANE", 183},
        {"exists as a file", "C:\\windows\\system32\\a.dll", 183},
        {"parent missing", "C:\\none\\sub", 3},
    };
    Put(kDest, "x");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ErrorOf(CreateDirectoryA(row.path, nullptr)), row.error);
    }
    HANDLE file = CreateFileA("C:\\PROGRAM FILES\\veltrane\\ReadMe.Txt", GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(
        fs::is_regular_file(root_ / "drive_c" / "Program Files" / "Veltrane" / "ReadMe.Txt"));
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("c:\\program files\\VELTRANE\\readme.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "ReadMe.Txt");
    EXPECT_TRUE(FindClose(find));
}

// PendingFileRenameOperations names each file by its full path, folded as
// Windows folds it, in the case given.
TEST_F(FilesEmulation, DelayedMovesRecordFullFoldedPaths) {
    struct Row {
        const char* name;
        const char* given;
        const char* recorded;
    };
    const Row rows[] = {
        {"doubled separator", "C:\\Stage\\\\a.dll", "\\??\\C:\\Stage\\a.dll"},
        {"up and down again", "C:\\windows\\system32\\..\\sysWOW64\\A.DLL",
         "\\??\\C:\\windows\\sysWOW64\\A.DLL"},
        {"forward slashes and a dot", "C:/Stage/./a.dll", "\\??\\C:\\Stage\\a.dll"},
        {"trailing dots", "C:\\Stage\\a.dll..", "\\??\\C:\\Stage\\a.dll"},
        {"above the root", "C:\\Stage\\..\\..\\..\\a.dll", "\\??\\C:\\a.dll"},
        {"rooted on the current drive", "\\Stage\\a.dll", "\\??\\C:\\Stage\\a.dll"},
        {"relative, in the case given", "A.DLL", "\\??\\C:\\Stage\\A.DLL"},
        {"prefixed: left as it is", "\\\\?\\C:\\Stage\\\\a.dll", "\\??\\C:\\Stage\\\\a.dll"},
    };
    for (const char* file : {"C:\\Stage\\a.dll", "C:\\a.dll", "C:\\windows\\syswow64\\a.dll"})
        Put(file, "a");
    InDirectory stage(OnDriveC("C:\\Stage"));
    const char kKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(MoveFileExA(row.given, row.given, MOVEFILE_DELAY_UNTIL_REBOOT |
                                                         MOVEFILE_REPLACE_EXISTING))
            << GetLastError();
        emu::RegistryTransaction transaction(root_);
        emu::RegKey* key = transaction.registry().FindPath(kKey);
        ASSERT_NE(key->Value("PendingFileRenameOperations"), nullptr);
        EXPECT_EQ(key->Value("PendingFileRenameOperations")->data,
                  MultiString({row.recorded, std::string("!") + row.recorded}));
        key->DeleteValue("PendingFileRenameOperations");
        transaction.Commit();
    }
}

}  // namespace
