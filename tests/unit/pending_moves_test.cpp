// The moves recorded for the restart and the restart that carries them out
// (platform/emu/pending_moves.cpp).
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/pending_moves.h"
#include "platform/emu/registry_store.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

TEST_F(FilesEmulation, DelayedMovesAreRecordedInOrderAndDoneAtRestart) {
    const char kKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    {
        emu::RegistryTransaction transaction(root_);
        transaction.registry().FindPath(kKey)->SetValue(
            {"PendingFileRenameOperations", REG_MULTI_SZ,
             MultiString({"\\??\\C:\\gone.txt", "!\\??\\C:\\windows\\gone.txt"})});
        transaction.Commit();
    }
    Put("C:\\Stage\\a.dll", "new a");
    Put("C:\\Stage\\b.dll", "new b");
    Put("C:\\Stage\\temp.txt", "temporary");
    Put(kDest, "old a");
    SetFileAttributesA("C:\\Stage\\a.dll", FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(kDest, FILE_ATTRIBUTE_READONLY);
    const DWORD kDelayedReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

    EXPECT_TRUE(MoveFileExA("C:\\Stage\\a.dll", kDest, kDelayedReplace));
    {
        InDirectory stage(OnDriveC("C:\\Stage"));
        std::string hostDest = OnDriveC("C:\\windows\\system32\\b.dll").string();
        EXPECT_TRUE(MoveFileExA("B.DLL", hostDest.c_str(), kDelayedReplace));
    }
    EXPECT_TRUE(MoveFileExA("C:\\Stage\\temp.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(ErrorOf(MoveFileExA("C:\\Stage\\none.dll", kDest, kDelayedReplace)), 2u);
    EXPECT_EQ(Content(kDest), "old a") << "nothing moves before the restart";
    {
        emu::RegistryTransaction transaction(root_);
        const emu::RegValue* value =
            transaction.registry().FindPath(kKey)->Value("PendingFileRenameOperations");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, static_cast<uint32_t>(REG_MULTI_SZ));
        EXPECT_EQ(value->data,
                  MultiString({"\\??\\C:\\gone.txt", "!\\??\\C:\\windows\\gone.txt",
                               "\\??\\C:\\Stage\\a.dll", "!\\??\\C:\\windows\\system32\\a.dll",
                               "\\??\\C:\\Stage\\B.DLL", "!\\??\\C:\\windows\\system32\\b.dll",
                               "\\??\\C:\\Stage\\temp.txt", ""}));
    }

    std::vector<std::string> notes = emu::RestartMachine(root_);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("C:\\gone.txt"), std::string::npos) << notes[0];
    EXPECT_EQ(Content(kDest), "new a") << "read-only, replaced anyway";
    EXPECT_EQ(GetFileAttributesA(kDest), DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(Content("C:\\windows\\system32\\b.dll"), "new b");
    for (const char* moved : {"a.dll", "b.dll", "temp.txt"})
        EXPECT_FALSE(fs::exists(OnDriveC("C:\\Stage") / moved)) << moved;
    emu::RegistryTransaction transaction(root_);
    EXPECT_EQ(transaction.registry().FindPath(kKey)->Value("PendingFileRenameOperations"), nullptr);
}

}  // namespace
