// The registry's store as several processes share it (platform/emu/registry_store.cpp):
// every process sees the others' changes, a change is all or nothing, and a
// store that can't be used fails the calls without holding its lock.
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>

#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

TEST_F(Store, DamagedStoreKeepsNoLockForTheNextCall) {
    ReplaceFile(root_ / "registry", "");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key), 1015);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key), 1015);
    // Another program, with a lock file description of its own (a forked
    // child would share this one's): it must fail and end, not wait.
    fs::path program = OnDriveC("C:\\windows\\system32\\VLQSPSVC.EXE");
    fs::copy_file(VTN2_STANDIN_PATH, program);
    fs::path errors = root_.parent_path() / "errors";
    std::optional<std::string> ended = InChild(
        [&] {
            int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) return std::string("no standard error");
            execl(program.c_str(), "VLQSPSVC.EXE", "-install", "-VTN2", nullptr);
            return std::string("not started");
        },
        10);
    ASSERT_TRUE(ended.has_value()) << "the other program waited for the lock";
    EXPECT_EQ(*ended, "");
    EXPECT_NE(ReadHostFile(errors).find("the store is corrupt"), std::string::npos) << ReadHostFile(errors);
}

TEST_F(Store, ProcessesSeeEachOthersChangesAndTheJournalReadsBackToTheSameTree) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Kept]\n\"v\"=dword:1\n");
    HKEY parent = Open("SOFTWARE\\T");
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::string name = "k" + std::to_string(random() % 12);
        // Every other change comes from another process, whose commits this
        // one has to read before its next call.
        auto change = [&, round] {
            HKEY key = nullptr;
            if (round % 3 == 2) return std::to_string(RegDeleteKeyA(parent, name.c_str()));
            LSTATUS status = RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr);
            if (status == 0) {
                std::string data = std::string(static_cast<size_t>(round) * 7, 'd');
                RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
                RegCloseKey(key);
            }
            return std::to_string(status);
        };
        std::string here;
        if (round % 2) {
            std::optional<std::string> there = InChild(change);
            ASSERT_TRUE(there.has_value());
            here = *there;
        } else {
            here = change();
        }
        HKEY seen = nullptr;
        LSTATUS open = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &seen);
        EXPECT_EQ(open == 0, round % 3 != 2) << name << " after " << here;
        if (open == 0) RegCloseKey(seen);
    }
    RegCloseKey(parent);
    std::string text = ReadHostFile(root_ / "registry");
    std::string inMemory;
    {
        emu::RegistryTransaction transaction(root_);
        inMemory = transaction.registry().Serialize();
    }
    EXPECT_EQ(emu::Registry::Parse(text)->Serialize(), inMemory);
    EXPECT_NE(text.find("\ncommit "), std::string::npos) << "changes were appended";
}

TEST_F(Store, AChangeNotCommittedLeavesNoTrace) {
    {
        emu::RegistryTransaction transaction(root_);
        transaction.registry().CreatePath("HKLM\\SOFTWARE\\Dropped");
        transaction.registry().FindPath("HKLM\\SYSTEM")->SetValue({"v", 4, {1, 0, 0, 0}});
    }
    emu::RegistryTransaction transaction(root_);
    EXPECT_EQ(transaction.registry().FindPath("HKLM\\SOFTWARE\\Dropped"), nullptr);
    EXPECT_TRUE(transaction.registry().FindPath("HKLM\\SYSTEM")->Values().empty());
    EXPECT_FALSE(transaction.registry().Changed());
}

TEST_F(Store, AStoreThatCannotBeLockedFailsRegistryDeviceAndFileCallsAlike) {
    fs::remove(root_ / "registry.lock");
    fs::create_directory(root_ / "registry.lock");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key), 1015);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 1015u);
    WriteHostFile(OnDriveC("C:\\a.txt"), "a", 1600000000);
    EXPECT_FALSE(MoveFileExA("C:\\a.txt", "C:\\b.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), 1015u);
}

}  // namespace
