#include <unistd.h>

#include "files/files.h"
#include "fixture.h"
#include "main/settings.h"

namespace {

namespace fs = std::filesystem;

const char* const kDistribution[] = {"SETUP.EXE", "VLQSPW.DLL", "VLQSPW32.DLL", "VLQSPREM.EXE",
                                     "VLQSPSVC.EXE"};
constexpr long long kShipped = 1650000000;

class Staging : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        dist_ = root_.parent_path() / "dist";
        for (const char* name : kDistribution) WriteHostFile(dist_ / name, name, kShipped);
        snprintf(szSourcePath, sizeof szSourcePath, "%s/", dist_.c_str());
        bUnattended = 1;
    }
    fs::path Staged(const char* name) const {
        return OnDriveC("C:\\windows\\system32\\drivers\\vtn2") / name;
    }
    fs::path dist_;
};

TEST_F(Staging, CopiesTheFiveFilesWithTheirTimes) {
    StageFromSource();
    for (const char* name : kDistribution) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadHostFile(Staged(name)), name);
        EXPECT_EQ(fs::last_write_time(Staged(name)), fs::last_write_time(dist_ / name));
    }
}

TEST_F(Staging, GoesOnPastAMissingFileAndAnExistingDirectory) {
    fs::remove(dist_ / "VLQSPW32.DLL");
    fs::create_directories(Staged(""));
    StageFromSource();
    EXPECT_FALSE(fs::exists(Staged("VLQSPW32.DLL")));
    EXPECT_EQ(ReadHostFile(Staged("VLQSPSVC.EXE")), "VLQSPSVC.EXE");
}

TEST_F(Staging, WithoutTheDriversDirectoryNothingIsStaged) {
    fs::remove_all(OnDriveC("C:\\windows\\system32\\drivers"));
    StageFromSource();
    EXPECT_FALSE(fs::exists(Staged("SETUP.EXE")));
}

TEST_F(Staging, DotTakesTheFilesFromTheCurrentDirectory) {
    strcpy(szSourcePath, ".");
    fs::path saved = fs::current_path();
    fs::current_path(dist_);
    StageFromSource();
    fs::current_path(saved);
    EXPECT_EQ(ReadHostFile(Staged("VLQSPW.DLL")), "VLQSPW.DLL");
}

TEST_F(Staging, NewerStagedFileBringsTheAgeQuestion) {
    WriteHostFile(Staged("VLQSPREM.EXE"), "newer", kShipped + 100);
    bUnattended = 0;
    SetInput("n\n");
    std::string out = Capture([] { StageFromSource(); });
    EXPECT_EQ(out, "\n" + dist_.string() + "/\\VLQSPREM.EXE is older than " +
                       "C:\\windows\\system32\\drivers\\vtn2\\VLQSPREM.EXE.\n" +
                       "Do you want to copy anyway? (y/n):\n");
    EXPECT_EQ(ReadHostFile(Staged("VLQSPREM.EXE")), "newer");
}

TEST_F(Staging, RestoreCopiesTheTwoProgramsBack) {
    StageFromSource();
    RestoreServiceFiles();
    EXPECT_EQ(ReadHostFile(OnDriveC("C:\\windows\\system32\\VLQSPREM.EXE")), "VLQSPREM.EXE");
    EXPECT_EQ(ReadHostFile(OnDriveC("C:\\windows\\system32\\VLQSPSVC.EXE")), "VLQSPSVC.EXE");
    EXPECT_FALSE(fs::exists(OnDriveC("C:\\windows\\system32\\VLQSPW.DLL")));
}

}  // namespace
