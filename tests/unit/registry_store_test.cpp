// The machine's stores as several processes share them: a damaged store is
// reported and fails the calls, never hangs them; every process sees the
// others' changes; keys stay within Windows' depth.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <random>

#include "fixture.h"
#include "platform/emu/files.h"
#include "platform/emu/registry_store.h"
#include "platform/emulation.h"
#include "platform/platform.h"
#include "tools/machine/regfile.h"

namespace {

namespace fs = std::filesystem;

// Runs body in a child process and hands back what it returned, or nothing
// when the child did not end within the deadline (it is killed then).
std::optional<std::string> InChild(const std::function<std::string()>& body, int seconds = 20) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return std::nullopt;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        std::string result = body();
        if (write(pipeFds[1], result.data(), result.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pipeFds[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) {
            ended = true;
            break;
        }
        result.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ended) return std::nullopt;
    return result;
}

// Puts text in place of a store as an editor that writes a new file does.
void ReplaceFile(const fs::path& path, const std::string& text) {
    fs::path temp = path;
    temp += ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, path);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Lines 1 to 15, parents before children, siblings in any order.
const std::string kStore =
    "vtn2-registry 2\n"
    "next 12\n"
    "K 1 0 =HKEY_CLASSES_ROOT\n"
    "K 2 0 =HKEY_CURRENT_USER\n"
    "K 3 0 =HKEY_LOCAL_MACHINE\n"
    "K 6 3 =SYSTEM\n"
    "K 7 6 =CurrentControlSet\n"
    "K 8 7 =Services\n"
    "K 9 8 =vlqwdzsv\n"
    "V 4 =Start x03000000\n"
    "V 1 =ImagePath x43003a000000\n"
    "K 10 7 =Enum\n"
    "K 4 0 =HKEY_USERS\n"
    "K 5 0 =HKEY_CURRENT_CONFIG\n"
    "end\n";

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

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

class Store : public MachineTest {
protected:
    // The store's own complaint, as vtn2-machine prints it; "" when it loads.
    std::string Complaint() {
        try {
            emu::RegistryTransaction transaction(root_);
            return "";
        } catch (const emu::StoreCorrupt& e) {
            return e.what();
        }
    }

    HKEY Open(const char* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), 0) << path;
        return key;
    }
};

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
        EXPECT_EQ(ReadFile(root_ / "registry"), row.text) << "never repaired";
    }
}

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
    EXPECT_NE(ReadFile(errors).find("the store is corrupt"), std::string::npos) << ReadFile(errors);
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
        std::string text = ReadFile(root_ / "registry");
        EXPECT_EQ(text.find("=new"), std::string::npos);
        EXPECT_EQ(emu::Registry::Parse(text)->Serialize(), text);
    }
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
    std::string text = ReadFile(root_ / "registry");
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

TEST_F(Store, KeysGoNoDeeperThanWindowsAllows) {
    struct Row {
        HKEY root;
        const char* name;
        size_t levels;  // below the root, as Windows counts 512 from \REGISTRY
    };
    const Row rows[] = {{HKEY_LOCAL_MACHINE, "HKLM", 510}, {HKEY_CURRENT_USER, "HKCU", 509}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = "d";
        for (size_t level = 1; level < row.levels; ++level) path += "\\d";
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(row.root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  0);
        HKEY deeper = nullptr;
        EXPECT_EQ(RegCreateKeyExA(key, "e", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper,
                                  nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(RegCreateKeyExA(row.root, (path + "\\e\\f").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(deeper, nullptr);
        RegCloseKey(key);
    }
    // The deepest store there can be exports, reads back and is removed
    // whole, none of it on the call stack.
    emu::RegistryTransaction transaction(root_);
    emu::Registry& registry = transaction.registry();
    emu::RegKey* top = registry.FindPath("HKLM\\d");
    std::string exported = ExportRegText(registry, *top);
    emu::Registry copy;
    ImportRegText(copy, exported, "deep.reg");
    EXPECT_EQ(ExportRegText(copy, *copy.FindPath("HKLM\\d")), exported);
    EXPECT_EQ(emu::Registry::Parse(registry.Serialize())->Serialize(), registry.Serialize());
    registry.Remove(*top);
    EXPECT_EQ(registry.FindPath("HKLM\\d"), nullptr);
}

class AttributeStore : public MachineTest {};

TEST_F(AttributeStore, DamageFailsTheFileCallsAsAFileSystemItCannotRead) {
    fs::path file = OnDriveC("C:\\data.txt");
    WriteHostFile(file, "x", 1600000000);
    ASSERT_TRUE(SetFileAttributesA("C:\\data.txt", FILE_ATTRIBUTE_READONLY));
    // A move at restart, so that a restart has attributes to read.
    ASSERT_TRUE(MoveFileExA("C:\\data.txt", "C:\\moved.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    const std::string good = ReadFile(root_ / "attributes");
    ASSERT_EQ(good, "vtn2-attributes 2\n00000001 " + file.string() + "\nend\n");
    struct Row {
        const char* name;
        std::string text;
        int line;
        const char* what;
    };
    const Row rows[] = {
        {"empty", "", 1, "empty"},
        {"older format", Replaced(good, "attributes 2", "attributes 1"), 1, "not a vtn2"},
        {"cut at a line end", good.substr(0, good.find("end")), 2, "before its 'end'"},
        {"cut mid-line", good.substr(0, good.size() - 2), 3, "cut short"},
        {"CRLF line ends", Crlf(good), 1, "not a vtn2"},
        {"bad hex", Replaced(good, "00000001", "0000000g"), 2, "expected 8 hex digits"},
        {"relative path", Replaced(good, " /", " x/"), 2, "absolute path"},
        {"a file twice", Replaced(good, "end\n", good.substr(18, good.find("end") - 18) + "end\n"), 3,
         "a second line"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReplaceFile(root_ / "attributes", row.text);
        std::optional<std::string> calls = InChild([] {
            DWORD read = GetFileAttributesA("C:\\data.txt");
            DWORD readError = GetLastError();
            BOOL set = SetFileAttributesA("C:\\data.txt", FILE_ATTRIBUTE_NORMAL);
            DWORD setError = GetLastError();
            BOOL copied = CopyFileA("C:\\data.txt", "C:\\copy.txt", FALSE);
            return std::to_string(read == INVALID_FILE_ATTRIBUTES ? readError : 0) + " " +
                   std::to_string(set ? 0 : setError) + " " +
                   std::to_string(copied ? 0 : GetLastError());
        });
        ASSERT_TRUE(calls.has_value()) << "the calls hung";
        EXPECT_EQ(*calls, "1392 1392 1392");
        EXPECT_EQ(ReadFile(root_ / "attributes"), row.text) << "never repaired";
        std::vector<std::string> notes;
        try {
            notes = emu::RestartMachine(root_);
            ADD_FAILURE() << "accepted";
        } catch (const emu::StoreCorrupt& e) {
            std::string complaint = e.what();
            EXPECT_EQ(complaint.rfind((root_ / "attributes").string() + ":" +
                                          std::to_string(row.line) + ": ",
                                      0),
                      0u)
                << complaint;
            EXPECT_NE(complaint.find(row.what), std::string::npos) << complaint;
        }
    }
    ReplaceFile(root_ / "attributes", good);
    EXPECT_EQ(GetFileAttributesA("C:\\data.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

}  // namespace
