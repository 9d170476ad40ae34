// The Installer's resource guards (main/guards.h).
#include "fixture.h"
#include "main/guards.h"

namespace {

// The error GetLastError gives after a failed call and then the release.
template <class Guard>
DWORD ErrorAfterFailureAndRelease(Guard& guard) {
    EXPECT_EQ(GetFileAttributesA("C:\\missing"), INVALID_FILE_ATTRIBUTES);
    guard.reset();
    return GetLastError();
}

// A guard released between a failed call and its GetLastError leaves that
// call's error, even when its own close call fails.
TEST_F(Emulation, ReleaseKeepsTheLastError) {
    struct Row {
        const char* close;
        std::function<DWORD()> run;
    };
    WriteHostFile(OnDriveC("C:\\file"), "", 0);
    WIN32_FIND_DATAA found;
    const Row rows[] = {
        {"FindClose",
         [&] {
             UniqueFind guard(FindFirstFileA("C:\\file", &found));
             return ErrorAfterFailureAndRelease(guard);
         }},
        {"CloseHandle",
         [] {
             UniqueDeviceHandle guard(
                 CreateFileA("C:\\file", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
             return ErrorAfterFailureAndRelease(guard);
         }},
        {"LocalFree",
         [] {
             UniqueLocalBlock guard(LocalAlloc(LPTR, 8));
             return ErrorAfterFailureAndRelease(guard);
         }},
        {"SetupDiDestroyDeviceInfoList",
         [] {
             UniqueDeviceSet guard(
                 SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES));
             return ErrorAfterFailureAndRelease(guard);
         }},
        {"HeapFree",
         [] {
             {
                 UniqueHeapBlock guard(GetProcessHeap(), 8);
                 EXPECT_EQ(GetFileAttributesA("C:\\missing"), INVALID_FILE_ATTRIBUTES);
             }
             return GetLastError();
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.close);
        WriteFaults(std::string(row.close) + " * 6\n");
        EXPECT_EQ(row.run(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

}  // namespace
