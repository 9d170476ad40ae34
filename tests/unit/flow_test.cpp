#include <cstdlib>
#include <cstring>

#include "fixture.h"
#include "main/installer.h"
#include "main/settings.h"

namespace {

const std::string kBanner = "VLQ Veltrane 2 software installation\n\r";
const std::string kComplete = "Installation complete\n\r";
const std::string kFailed = "\nInstallation failed\n";
const std::string kNotFound =
    "The Veltrane II device was not found.\nCheck the USB cable connection of the VTN II.\n";
const std::string kPressAnyKey = "Press any key to exit.";
const std::string kForcing = "Skipping hardware detection - forcing Kestil.\n";
const std::string kInvalidForce = "Invalid force code!\n";

// Each text at the number it is known by, the slots between them kept.
TEST(Catalogue, TextsKeepTheirNumbers) {
    const std::pair<int, std::string> rows[] = {
        {8, kBanner},       {13, kComplete}, {28, kFailed},
        {33, kPressAnyKey}, {70, kNotFound}, {92, "VLQSPSVC.EXE"},
    };
    ASSERT_EQ(CATALOGUE_SIZE, 93);
    for (const auto& [number, text] : rows) EXPECT_EQ(szCatalogue[number], text) << number;
}

class Flow : public MachineTest {
protected:
    // Runs the Installer with this command line (program name first).
    int Run(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int code = -1;
        output_ = Capture([&] { code = RunInstaller(static_cast<int>(args.size()), argv.data()); });
        return code;
    }
    std::string output_;
};

struct SwitchRow {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string output;
};

TEST_F(Flow, SwitchesOnAMachineWithoutTheAdapter) {
    const SwitchRow rows[] = {
        {"attended", {"setup"}, 8, kBanner + kNotFound + kFailed + kPressAnyKey},
        {"detect only", {"setup", "/H"}, 8, kBanner + kNotFound + kFailed},
        {"dash forms and lower case", {"setup", "-x", "-q"}, 8, kBanner + kNotFound + kFailed},
        {"no messages", {"setup", "/N"}, 8, ""},
        {"debug traces stay with no messages", {"setup", "/N", "/d"}, 8,
         "Didn't find USB SP.\nPress ENTER to continue\n"},
        {"unknown arguments are ignored", {"setup", "XXX", "/FU", "/Q"}, 8,
         kBanner + kNotFound + kFailed},
        {"force code", {"setup", "-fu", "/H"}, 0, kForcing + kBanner + kComplete},
        {"force code with more after the U", {"setup", "-FUX", "/H"}, 0,
         kForcing + kBanner + kComplete},
        {"force code before /N prints its line", {"setup", "-FU", "/N", "/H"}, 0, kForcing},
        {"force code after /N is silent", {"setup", "/N", "-FU", "/H"}, 0, ""},
        {"invalid force code ends the run", {"setup", "-F"}, 0, kInvalidForce},
        {"switches after an invalid force code are not read", {"setup", "-FX", "/N"}, 0,
         kInvalidForce},
        {"invalid force code after /N is silent", {"setup", "/N", "-FX"}, 0, ""},
    };
    for (const SwitchRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        EXPECT_EQ(Run(row.args), row.exitCode);
        EXPECT_EQ(output_, row.output);
    }
}

TEST_F(Flow, AdapterSeenButNotReachable) {
    AddDevice("USB\\VID_2F1D&PID_7C01\\5&1&0&1", {"USB\\Vid_2f1d&Pid_7c01&Rev_0100"});
    EXPECT_EQ(Run({"setup", "/H"}), 16);
    EXPECT_EQ(output_, kBanner + szCatalogue[72] + kComplete);
}

TEST_F(Flow, AdapterReachableInADetectOnlyRun) {
    AddDevice("HID\\VID_2F1D&PID_7C01\\1&1&0&0000", {"HID\\VID_2F1D&PID_7C01"});
    EXPECT_EQ(Run({"setup", "/H", "/D"}), 0);
    EXPECT_EQ(output_, kBanner + kComplete);
}

TEST_F(Flow, SystemDirectoryUnavailable) {
    WriteFaults("GetSystemDirectoryA * 5\n");
    EXPECT_EQ(Run({"setup", "/X", "/D"}), 2);
    EXPECT_EQ(output_,
              kBanner + "Main - GetSystemDirectory failed.\nPress ENTER to continue\n" + kFailed);
}

TEST_F(Flow, NoMachineFailsLikeAMissingSystemDirectory) {
    unsetenv("VTN2_MACHINE");
    EXPECT_EQ(Run({"setup", "/X"}), 2);
    EXPECT_EQ(output_, kBanner + kFailed);
}

struct SourceRow {
    const char* name;
    std::string program;
    std::string sourcePath;
};

TEST_F(Flow, SourcePathIsTheDriveAndDirectoryOfTheProgram) {
    const SourceRow rows[] = {
        {"bare name", "setup.exe", "."},
        {"rooted without a drive takes the current drive in lower case", "\\tools\\setup.exe",
         "c:\\tools\\"},
        {"drive and root", "D:\\setup.exe", "D:\\"},
        {"drive without directory", "D:setup.exe", "D:"},
        {"relative directory", "dist\\setup.exe", "dist\\"},
        {"host path", "/home/admin/dist/setup", "/home/admin/dist/"},
        {"mixed separators", "C:\\a/b\\setup.exe", "C:\\a/b\\"},
        {"longest directory that fits", "\\" + std::string(251, 'd') + "\\s",
         "c:\\" + std::string(251, 'd') + "\\"},
        {"longest relative directory that fits, no drive to add", std::string(254, 'd') + "\\s",
         std::string(254, 'd') + "\\"},
        {"long file name is no matter", "\\t\\" + std::string(400, 'f'), "c:\\t\\"},
    };
    for (const SourceRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Run({row.program, "/H"}), 8);
        EXPECT_EQ(std::string(szSourcePath), row.sourcePath);
    }
}

TEST_F(Flow, SourcePathThatDoesNotFitFailsTheRun) {
    for (const std::string& program :
         {"\\" + std::string(252, 'd') + "\\s", "C:" + std::string(254, 'd') + "\\s",
          std::string(300, 'd') + "/setup"}) {
        EXPECT_EQ(Run({program, "/X"}), 2);
        EXPECT_EQ(output_, kBanner + kFailed);
    }
}

}  // namespace
