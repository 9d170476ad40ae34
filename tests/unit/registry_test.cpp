// The registry calls of the emulated machine (platform/emu/registry.cpp).
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/emu/pending_moves.h"
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

// RegSetValueExA takes a NUL that follows a string given without one, and
// RegQueryValueExA ends a string stored without one when there is room.
TEST_F(Emulation, StringValuesWithoutTheirNulAreStoredAndReadAsWindowsDoes) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_ALL_ACCESS, &key), 0);
    const char given[] = "FullString\0x";  // what lies past the size given
    struct Row {
        const char* name;
        DWORD type;
        DWORD setSize;
        DWORD capacity;
        LSTATUS status;
        DWORD size;
        std::string buffer;  // capacity + 1 bytes, '~' where the call left them
    };
    const Row rows[] = {
        {"a NUL right after is taken", REG_SZ, 10, 11, 0, 11, std::string("FullString\0~", 12)},
        {"short buffer for the NUL taken", REG_SZ, 10, 10, 234, 11, std::string(11, '~')},
        {"none after: stored without", REG_SZ, 9, 9, 0, 9, "FullStrin~"},
        {"ended when there is room", REG_SZ, 9, 10, 0, 9, std::string("FullStrin\0~", 11)},
        {"expandable string alike", REG_EXPAND_SZ, 9, 10, 0, 9, std::string("FullStrin\0~", 11)},
        {"binary data never", REG_BINARY, 10, 11, 0, 10, "FullString~~"},
        {"an empty string stays empty", REG_SZ, 0, 4, 0, 0, "~~~~~"},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(RegSetValueExA(key, "v", 0, row.type, reinterpret_cast<const BYTE*>(given),
                                 row.setSize),
                  0)
            << row.name;
        std::string buffer(row.capacity + 1, '~');
        DWORD size = row.capacity;
        EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer.data()), &size),
                  row.status)
            << row.name;
        EXPECT_EQ(size, row.size) << row.name;
        EXPECT_EQ(buffer, row.buffer) << row.name;
    }
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(Emulation, QueryingFillsTypeAndSizeAsWindowsDoes) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"s\"=\"abc\"\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), 0);
    BYTE buffer[16];
    DWORD size = 0xdeadbeef, type = 0xdeadbeef;
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, &type, nullptr, &size), 2);
    EXPECT_EQ(size, 0u) << "without a buffer";
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, &type, buffer, &size), 2);
    EXPECT_EQ(size, sizeof buffer) << "with one";
    DWORD both = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, &both, buffer, &both), 0);
    EXPECT_EQ(both, 4u) << "one variable for type and size: the size is written last";
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "abc");
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(Emulation, KeyPathsAndRightsThatWindowsRefuses) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Key]\n[HKEY_CLASSES_ROOT\\.txt]\n");
    constexpr REGSAM kSacl = 0x01000000;  // ACCESS_SYSTEM_SECURITY
    const HKEY kLm = HKEY_LOCAL_MACHINE, kCr = HKEY_CLASSES_ROOT;
    HKEY key = nullptr;
    auto open = [&](HKEY from, const char* path, REGSAM access) {
        LSTATUS status = RegOpenKeyExA(from, path, 0, access, &key);
        if (status == 0) RegCloseKey(key);
        return status;
    };
    auto create = [&](const char* path, REGSAM access) {
        LSTATUS status =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, &key, nullptr);
        if (status == 0) RegCloseKey(key);
        return status;
    };
    HKEY held = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Key", 0, KEY_ALL_ACCESS, &held), 0);
    SECURITY_DESCRIPTOR empty;
    ASSERT_TRUE(InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION));
    struct Row {
        const char* name;
        std::function<LSTATUS()> call;
        LSTATUS status;
    };
    const Row rows[] = {
        {"owner asked for, none given",
         [&] { return RegSetKeySecurity(held, OWNER_SECURITY_INFORMATION, &empty); }, 1338},
        {"group asked for, none given",
         [&] { return RegSetKeySecurity(held, GROUP_SECURITY_INFORMATION, &empty); }, 1338},
        {"open from a leading backslash", [&] { return open(kLm, "\\SOFTWARE", KEY_READ); }, 161},
        {"create from a leading backslash", [&] { return create("\\SOFTWARE\\T\\New", KEY_READ); }, 161},
        {"HKEY_CLASSES_ROOT's view takes one", [&] { return open(kCr, "\\.txt", KEY_READ); }, 0},
        {"a trailing backslash is fine", [&] { return open(kLm, "SOFTWARE\\T\\", KEY_READ); }, 0},
        {"open for the SACL", [&] { return open(kLm, "SOFTWARE\\T\\Key", KEY_READ | kSacl); }, 1314},
        {"the SACL of a missing key", [&] { return open(kLm, "SOFTWARE\\T\\Nope", kSacl); }, 2},
        {"create for the SACL", [&] { return create("SOFTWARE\\T\\New", kSacl); }, 1314},
        {"open an existing key for it", [&] { return create("SOFTWARE\\T\\Key", kSacl); }, 1314},
        {"create with nowhere to put the key",
         [&] {
             return RegCreateKeyExA(kLm, "SOFTWARE\\T\\New", 0, nullptr, 0, KEY_READ, nullptr,
                                    nullptr, nullptr);
         },
         1010},
    };
    for (const Row& row : rows) EXPECT_EQ(row.call(), row.status) << row.name;
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\New", KEY_READ), 2) << "nothing was created";
    EXPECT_EQ(RegCloseKey(held), 0);
}

TEST_F(Emulation, VolatileKeysHoldOnlyVolatileKeysAndEndWithARestart) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n");
    auto create = [](const char* path, DWORD options) {
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_READ,
                                         nullptr, &key, nullptr);
        if (status == 0) RegCloseKey(key);
        return status;
    };
    ASSERT_EQ(create("SOFTWARE\\T\\Volatile\\Old", REG_OPTION_VOLATILE), 0);
    struct Row {
        const char* name;
        const char* path;
        DWORD options;
        LSTATUS status;
    };
    const Row rows[] = {
        {"a stable key below a volatile one", "SOFTWARE\\T\\Volatile\\New", 0, 1021},
        {"nor deeper", "SOFTWARE\\T\\Volatile\\New\\Deeper", 0, 1021},
        {"a volatile one below it", "SOFTWARE\\T\\Volatile\\Also", REG_OPTION_VOLATILE, 0},
        {"an existing volatile key, opened", "SOFTWARE\\T\\Volatile\\Old", 0, 0},
        {"a volatile key below a stable one", "SOFTWARE\\T\\Fleeting", REG_OPTION_VOLATILE, 0},
    };
    for (const Row& row : rows) EXPECT_EQ(create(row.path, row.options), row.status) << row.name;
    std::ifstream store(root_ / "registry");
    std::string text{std::istreambuf_iterator<char>(store), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find(" =Volatile volatile\n"), std::string::npos) << "kept as such: " << text;
    emu::RestartMachine(root_);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Volatile", 0, KEY_READ, &key), 2);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Fleeting", 0, KEY_READ, &key), 2);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
}

}  // namespace
