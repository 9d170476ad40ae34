// The registry store's text (platform/emu/registry_format.cpp): a damaged
// store is reported with its line and fails the calls, never hangs them; a
// transaction its writer did not finish never happened.
#include <optional>
#include <random>
#include <string>

#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/platform.h"

namespace {

std::string RandomBytes(size_t size) {
    std::mt19937 random(10);
    std::string out;
    for (size_t i = 0; i < size; ++i) out += static_cast<char>(random() & 0xFF);
    return out;
}

std::string TooDeep() {
    std::string text = kStore.substr(0, kStore.find("K 4 0"));
    text = Replaced(text, "next 12", "next 1000");
    for (int id = 11, parent = 3; id < 11 + 511; parent = id++)
        text += "K " + std::to_string(id) + " " + std::to_string(parent) + " =k\n";
    return text + "K 4 0 =HKEY_USERS\nK 5 0 =HKEY_CURRENT_CONFIG\nend\n";
}

TEST_F(Store, DamageIsReportedWithItsLineAndFailsEveryCallWithoutHanging) {
    struct Row {
        const char* name;
        std::string text;
        int line;
        const char* what;
    };
    const std::string torn = kStore + "K 12 9 =new\n";
    const Row rows[] = {
        {"empty", "", 1, "empty"},
        {"older format", Replaced(kStore, "registry 2", "registry 1"), 1, "not a vtn2 registry"},
        {"cut mid-line", kStore.substr(0, kStore.find("dzsv")), 9, "cut short"},
        {"cut at a line end", kStore.substr(0, kStore.find("K 4 0")), 12, "before its 'end'"},
        {"CRLF line ends", Crlf(kStore), 1, "carriage return"},
        {"NUL bytes", Replaced(kStore, "Services", std::string("Serv\0\0es", 8)), 8,
         "unexpected byte 0x00"},
        {"random bytes", RandomBytes(300), 1, ""},
        {"a few changed bytes", Replaced(kStore, "K 9 8 =", "K 9 # ="), 9, "expected 'K ID"},
        {"odd-length hex", Replaced(kStore, "x03000000", "x0300000"), 10, "pairs of hex digits"},
        {"duplicate id", Replaced(kStore, "K 10 7", "K 9 7"), 12, "duplicate key id 9"},
        {"next id too low", Replaced(kStore, "next 12", "next 10"), 12,
         "key id 10 is not below the next id 10"},
        {"missing parent", Replaced(kStore, "K 10 7", "K 10 70"), 12, "parent 70 of key id 10"},
        {"missing root", Replaced(kStore, "K 4 0 =HKEY_USERS\n", ""), 14, "HKEY_USERS is missing"},
        {"value named twice", Replaced(kStore, "V 1 =ImagePath", "V 1 =start"), 11,
         "second value named"},
        {"key named twice", Replaced(kStore, "=Enum", "=SERVICES"), 12, "second key named"},
        {"deeper than Windows allows", TooDeep(), 12 + 511, "deeper than Windows allows"},
        {"journal removes a missing key", kStore + "D 77\ncommit 12\n", 16, "removes key id 77"},
        {"journal removes without an id", kStore + "D\ncommit 12\n", 16, "expected 'D ID'"},
        {"journal moves a key", kStore + "K 5 9 =x\ncommit 12\n", 16, "changes its parent or name"},
        {"stable below volatile", Replaced(kStore, "=Services\n", "=Services volatile\n"), 9,
         "key id 9 is stable below a volatile key"},
        {"journal makes a key volatile", kStore + "K 9 8 =vlqwdzsv volatile\ncommit 12\n", 16,
         "changes its volatility"},
        {"a volatile root", Replaced(kStore, "=HKEY_USERS\n", "=HKEY_USERS volatile\n"), 13,
         "unknown root"},
        {"journal lowers the next id", kStore + "commit 11\n", 16, "below the one before"},
        {"journal reuses an id", kStore + "K 12 9 =a\ncommit 13\nD 12\nK 12 9 =b\ncommit 13\n",
         19, "key id 12 reused"},
        {"garbage after a commit", torn + "commit 13\nxyz\n", 18, "unknown record"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReplaceFile(root_ / "registry", row.text);
        std::optional<std::string> calls = InChild([] {
            HKEY key = nullptr;
            LSTATUS first = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key);
            LSTATUS second = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\x", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr);
            HDEVINFO devices = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
            return std::to_string(first) + " " + std::to_string(second) + " " +
                   std::to_string(devices == INVALID_HANDLE_VALUE ? GetLastError() : 0);
        });
        ASSERT_TRUE(calls.has_value()) << "the calls hung";
        EXPECT_EQ(*calls, "1015 1015 1015");
        std::string complaint = Complaint();
        EXPECT_EQ(complaint.rfind((root_ / "registry").string() + ":" + std::to_string(row.line) +
                                      ": ",
                                  0),
                  0u)
            << complaint;
        EXPECT_NE(complaint.find(row.what), std::string::npos) << complaint;
        EXPECT_EQ(ReadHostFile(root_ / "registry"), row.text) << "never repaired";
    }
}

TEST_F(Store, TransactionCutShortByItsWritersDeathNeverHappened) {
    for (const std::string& tail : {std::string("K 12 9 =new\n"), std::string("K 12 9 =new\nV 4 =a x0")}) {
        ReplaceFile(root_ / "registry", kStore + tail);
        EXPECT_EQ(Complaint(), "");
        HKEY key = Open("SYSTEM\\CurrentControlSet\\Services\\vlqwdzsv");
        HKEY created = nullptr;
        EXPECT_EQ(RegOpenKeyExA(key, "new", 0, KEY_READ, &created), ERROR_FILE_NOT_FOUND);
        // The next writer leaves a store without the cut transaction.
        EXPECT_EQ(RegCreateKeyExA(key, "other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                                  nullptr),
                  0);
        RegCloseKey(created);
        RegCloseKey(key);
        std::string text = ReadHostFile(root_ / "registry");
        EXPECT_EQ(text.find("=new"), std::string::npos);
        EXPECT_EQ(emu::Registry::Parse(text)->Serialize(), text);
    }
}

}  // namespace
