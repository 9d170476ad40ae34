// A fresh emulated machine per test, removed afterwards; every test ends by
// checking that the Installer released everything it obtained.
#ifndef VTN2_TEST_FIXTURE_H
#define VTN2_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../run_settings.h"
#include "platform/platform.h"

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Imports .reg text (the header is added) into the machine's registry.
    void ImportReg(const std::string& body);
    // A present device (it has a ClassGUID) with these hardware IDs.
    void AddDevice(const std::string& instanceId, const std::vector<std::string>& hardwareIds);
    // A present device whose HardwareID value holds exactly these bytes.
    void AddDeviceRaw(const std::string& instanceId, const std::string& hardwareIdBytes);
    void AddDeviceWithoutIds(const std::string& instanceId);
    void WriteFaults(const std::string& rules);
    // Standard input from now on holds exactly this text.
    void SetInput(const std::string& text);
    // The host path of a Windows path on drive C:.
    std::filesystem::path OnDriveC(const std::string& windowsPath) const;
    // Writes a file on the host with a last-write time in seconds since 1970.
    static void WriteHostFile(const std::filesystem::path& path, const std::string& content,
                          long long mtimeSeconds);
    static std::string ReadHostFile(const std::filesystem::path& path);

    // Runs a function with standard output captured.
    template <class F>
    std::string Capture(F function) {
        BeginCapture();
        function();
        return EndCapture();
    }

    std::filesystem::path root_;

private:
    void BeginCapture();
    std::string EndCapture();
    int savedStdin_ = -1;
};

// A machine and nothing more, for the tests of the emulation itself.
class Emulation : public MachineTest {};

// A machine whose system directory can hold the stand-in program under the
// adapter software's names; every call it gets is logged.
class StandinTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path System(const std::string& name) const;
    // The stand-in, copied into the system directory under this name.
    std::filesystem::path InstallStandin(const std::string& name) const;
    // standin.cfg for every stand-in in the system directory.
    void ConfigureStandins(const std::string& settings) const;
    void ScaleClock(const std::string& scale) const;
    std::vector<std::string> StandinLog() const;
    // The process that runs the program at this host path, or -1.
    static pid_t ProcessOf(const std::filesystem::path& program);

    std::filesystem::path log_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// The Win32 error of a BOOL call; 0 when it succeeded.
DWORD ErrorOf(BOOL succeeded);

// The file calls (files_test, paths_test).
class FilesEmulation : public MachineTest {
protected:
    void Put(const std::string& windowsPath, const std::string& content) {
        WriteHostFile(OnDriveC(windowsPath), content, 1600000000);
    }
    std::string Content(const std::string& windowsPath) { return ReadHostFile(OnDriveC(windowsPath)); }
};

// The working directory for one test, restored afterwards.
struct InDirectory {
    explicit InDirectory(const std::filesystem::path& path) : saved(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~InDirectory() { std::filesystem::current_path(saved); }
    std::filesystem::path saved;
};

inline constexpr char kSource[] = "C:\\dist\\a.dll";
inline constexpr char kDest[] = "C:\\windows\\system32\\a.dll";

// REG_MULTI_SZ data as the registry stores it, in UTF-16.
std::vector<uint8_t> MultiString(const std::vector<std::string>& strings);

// The stores (registry_store_test, registry_format_test, registry_tree_test,
// attribute_store_test).

// Runs body in a child process and hands back what it returned, or nothing
// when the child did not end within the deadline (it is killed then).
std::optional<std::string> InChild(const std::function<std::string()>& body, int seconds = 20);

// Puts text in place of a store as an editor that writes a new file does.
void ReplaceFile(const std::filesystem::path& path, const std::string& text);

// The text with the first `from` in it replaced by `to`; a failure when there is none.
std::string Replaced(std::string text, const std::string& from, const std::string& to);

std::string Crlf(const std::string& text);

// A registry store of lines 1 to 15, parents before children, siblings in any order.
extern const std::string kStore;

class Store : public MachineTest {
protected:
    // The store's own complaint, as vtn2-machine prints it; "" when it loads.
    std::string Complaint();

    HKEY Open(const char* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), 0) << path;
        return key;
    }
};

// Key security (security_test, sddl_test, security_layout_test,
// access_check_test, key_security_test, registry_test).
inline constexpr char kKeyPath[] = "HKLM\\SOFTWARE\\T\\Key";
inline constexpr char kSubkey[] = "SOFTWARE\\T\\Key";

inline const std::vector<BYTE> kAdminsSid = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
inline const std::vector<BYTE> kSystemSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
inline const std::vector<BYTE> kEveryoneSid = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle) RegCloseKey(handle);
    }
};

inline std::vector<BYTE> Bytes(const void* from, size_t size) {
    const auto* bytes = static_cast<const BYTE*>(from);
    return std::vector<BYTE>(bytes, bytes + size);
}

inline DWORD Dword(const std::vector<BYTE>& bytes, size_t at) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

inline size_t Word(const std::vector<BYTE>& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }
PSID NewAdminsSid();

// A machine with the keys SOFTWARE\T\Key and SOFTWARE\T\Other.
class Security : public MachineTest {
protected:
    void SetUp() override;
    void SetSddl(const std::string& sddl);
    std::string Sddl();
    LSTATUS Open(REGSAM access, Key& key, const char* subkey = kSubkey) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, access, &key.handle);
    }
    std::vector<BYTE> KeySecurity(HKEY key, SECURITY_INFORMATION information);
};


#endif
