// The registry calls of the emulated machine (platform/emu/registry.cpp).
#include <cstring>
#include <functional>
#include <stdexcept>

#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/emu/registry_store.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != 0) break;
        names.push_back(name);
    }
    return names;
}

TEST_F(Emulation, RegistryListsByUpperCaseNameAndKeepsTheCaseGiven) {
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\b_x]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Ba]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\a]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\B]\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\t", 0, KEY_READ, &key), 0);
    EXPECT_EQ(Subkeys(key), (std::vector<std::string>{"a", "B", "Ba", "b_x"}));
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(Emulation, RegistryStatusesAreWindowsOwn) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Parent\\Child]\n");
    HKEY parent = nullptr, missing = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Nope", 0, KEY_READ, &missing), 2);
    EXPECT_EQ(missing, nullptr);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent", 0, KEY_ALL_ACCESS, &parent), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent"), 5) << "has a subkey";
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent"), 0) << "open, and deleted";
    char name[512];
    DWORD size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 1018);
    EXPECT_EQ(RegCloseKey(parent), 0);
    EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(Emulation, EnumerationEndsWithNoMoreItemsAndReportsShortBuffers) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\LongerName]\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), 0);
    char name[8];
    std::memset(name, 'x', sizeof name);
    DWORD size = 4;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 234);
    EXPECT_EQ(std::string(name, 8), "Longxxxx") << "no terminating NUL, nothing past the size";
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr), 259);
    RegCloseKey(key);
}

TEST_F(Security, EachCallNeedsItsRightOnTheHandle) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Key\\Sub]\n");
    char name[64];
    DWORD size = 0, one = 1;
    SECURITY_DESCRIPTOR nullDacl;
    InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    using Call = std::function<LSTATUS(HKEY)>;
    Call enumerate = [&](HKEY key) {
        size = sizeof name;
        return RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
    };
    Call query = [](HKEY key) { return RegQueryValueExA(key, "x", 0, 0, 0, 0); };
    Call setValue = [&](HKEY key) {
        return RegSetValueExA(key, "v", 0, 4, reinterpret_cast<BYTE*>(&one), 4);
    };
    Call getDacl = [&](HKEY key) { return RegGetKeySecurity(key, 4, nullptr, &size); };
    Call setDacl = [&](HKEY key) { return RegSetKeySecurity(key, 4, &nullDacl); };
    struct Row {
        const char* name;
        DWORD granted;
        Call call;
        LSTATUS status;
    };
    const Row rows[] = {
        {"enumerate with it", KEY_ENUMERATE_SUB_KEYS, enumerate, 0},
        {"enumerate without", KEY_QUERY_VALUE, enumerate, 5},
        {"query with it", KEY_QUERY_VALUE, query, ERROR_FILE_NOT_FOUND},
        {"query without", KEY_ENUMERATE_SUB_KEYS, query, 5},
        {"set value with it", KEY_SET_VALUE, setValue, 0},
        {"set value without", KEY_READ, setValue, 5},
        {"read the DACL with it", READ_CONTROL, getDacl, ERROR_INSUFFICIENT_BUFFER},
        {"read the DACL without", KEY_QUERY_VALUE, getDacl, 5},
        {"write the DACL without", KEY_READ, setDacl, 5},
        {"write the DACL with it", WRITE_DAC, setDacl, 0},
    };
    for (const Row& row : rows) {
        Key key;
        ASSERT_EQ(Open(row.granted, key), 0) << row.name;
        EXPECT_EQ(row.call(key.handle), row.status) << row.name;
    }
    EXPECT_EQ(Sddl(), "O:BAD:NO_ACCESS_CONTROL");
}

TEST_F(Security, DeletingNeedsDeleteOnTheSubkeyItself) {
    SetSddl("O:BAD:(A;;KR;;;BA)");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSubkey), 5);
    SetSddl("O:SYD:(A;;SD;;;BA)");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSubkey), 0);
    EXPECT_THROW(Sddl(), std::runtime_error);
}

TEST_F(Security, CreateKeyMakesThePathWithDefaultDescriptorsWhereTheParentAllows) {
    Key created, opened, refused;
    DWORD disposition = 0;
    auto create = [&](const char* path, REGSAM access, Key& key) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr,
                               &key.handle, &disposition);
    };
    ASSERT_EQ(create("SOFTWARE\\T\\Key\\A\\B", KEY_SET_VALUE, created), 0);
    EXPECT_EQ(disposition, 1u);
    EXPECT_EQ(RegQueryValueExA(created.handle, "x", 0, 0, 0, 0), 5) << "only what was asked for";
    EXPECT_EQ(emu::ReadKeySddl(root_, "HKLM\\SOFTWARE\\T\\Key\\A"), emu::kDefaultKeySddl);
    ASSERT_EQ(create("SOFTWARE\\T\\Key\\A\\B", KEY_READ, opened), 0);
    EXPECT_EQ(disposition, 2u);

    SetSddl("O:BAD:(A;;KR;;;BA)");
    EXPECT_EQ(create("SOFTWARE\\T\\Key\\C\\D", KEY_READ, refused), 5);
    EXPECT_EQ(refused.handle, nullptr);
    EXPECT_THROW(emu::ReadKeySddl(root_, "HKLM\\SOFTWARE\\T\\Key\\C"), std::runtime_error);
    EXPECT_EQ(create(kSubkey, KEY_ALL_ACCESS, refused), 5) << "opened per its DACL";
}

TEST_F(Security, SetValueStoresEightBitStringsAsUtf16AndOtherTypesAsGiven) {
    Key key;
    ASSERT_EQ(Open(KEY_SET_VALUE, key), 0);
    const BYTE text[] = "ab\xc3\xa9", multi[] = {'a', 0, 'b', 0, 0}, raw[] = {1, 0, 0, 0};
    ASSERT_EQ(RegSetValueExA(key.handle, "S", 0, REG_SZ, text, sizeof text), 0);
    ASSERT_EQ(RegSetValueExA(key.handle, "M", 0, REG_MULTI_SZ, multi, sizeof multi), 0);
    ASSERT_EQ(RegSetValueExA(key.handle, "D", 0, REG_DWORD, raw, sizeof raw), 0);
    emu::RegistryTransaction transaction(root_);
    emu::RegKey* stored = transaction.registry().FindPath(kKeyPath);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->Value("S")->data, (std::vector<uint8_t>{'a', 0, 'b', 0, 0xe9, 0, 0, 0}));
    EXPECT_EQ(stored->Value("M")->data.size(), 10u);
    EXPECT_EQ(stored->Value("D")->data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

}  // namespace
