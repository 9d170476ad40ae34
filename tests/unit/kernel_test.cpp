// Kernel and C runtime services of the emulated machine (platform/emu/kernel.cpp).
#include <cstring>
#include <string>

#include "fixture.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

TEST_F(Emulation, SystemDirectoryAsWineGivesIt) {
    char buffer[520];
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
    EXPECT_STREQ(buffer, "C:\\windows\\system32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 19), 20u) << "too small: the size needed";
}

TEST(CRuntime, SplitPathCutsEachPartToItsBuffer) {
    char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath("C:\\a\\b.c\\file.tar.gz", drive, dir, name, ext);
    EXPECT_STREQ(drive, "C:");
    EXPECT_STREQ(dir, "\\a\\b.c\\");
    EXPECT_STREQ(name, "file.tar");
    EXPECT_STREQ(ext, ".gz");
    std::string longDir = "\\" + std::string(300, 'x') + "\\f";
    _splitpath(longDir.c_str(), drive, dir, nullptr, nullptr);
    EXPECT_EQ(std::strlen(dir), 255u);
}

TEST(CRuntime, CaseFoldingTouchesAsciiLettersOnly) {
    char text[] = "-fu\xe9/x";
    EXPECT_STREQ(_strupr(text), "-FU\xe9/X");
    EXPECT_EQ(_stricmp("C:\\Windows", "c:\\WINDOWS"), 0);
    EXPECT_LT(_stricmp("a", "B"), 0);
    EXPECT_LT(_stricmp("_", "a"), 0) << "compared in lower case, as Windows compares";
    EXPECT_EQ(_strnicmp("CANCELLED", "cancel", 6), 0);
    EXPECT_NE(_strnicmp("can", "cancel", 6), 0);
}

TEST(CRuntime, GraphicClassIsPrintableAsciiWithoutSpace) {
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(_isctype(c, 0x117) != 0, c >= 0x21 && c <= 0x7E) << c;
    }
}

}  // namespace
