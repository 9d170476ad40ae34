// A fresh emulated machine per test, removed afterwards; every test ends by
// checking that the Installer released everything it obtained.
#ifndef VTN2_TEST_FIXTURE_H
#define VTN2_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../run_settings.h"

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

    std::filesystem::path log_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);


#endif
