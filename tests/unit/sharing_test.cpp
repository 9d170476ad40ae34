// Windows' sharing between the handles of a file (platform/emu/sharing.cpp),
// through the opens that take part in it.
#include <string>
#include <utility>

#include "fixture.h"
#include "platform/platform.h"

namespace {

// Windows' sharing table: an open is refused when it would do what another
// handle does not share, or not share what another handle does; an open that
// neither reads, writes nor deletes takes no part. Each row in both orders.
TEST_F(FilesEmulation, SecondOpenOfAFileAsWindowsSharingAllowsIt) {
    const DWORD kRead = FILE_SHARE_READ, kWrite = FILE_SHARE_WRITE, kDelete = FILE_SHARE_DELETE;
    const DWORD kAll = kRead | kWrite | kDelete;
    struct Row {
        const char* name;
        DWORD access1, share1, access2, share2;
        bool opens;
    };
    const Row rows[] = {
        {"both read sharing reading", GENERIC_READ, kRead, GENERIC_READ, kRead, true},
        {"read sharing reading, read sharing writing only", GENERIC_READ, kRead, GENERIC_READ,
         kWrite, false},
        {"read sharing all, write sharing all", GENERIC_READ, kAll, GENERIC_WRITE, kAll, true},
        {"read sharing reading, write sharing all", GENERIC_READ, kRead, GENERIC_WRITE, kAll,
         false},
        {"write sharing reading, read sharing reading", GENERIC_WRITE, kRead, GENERIC_READ, kRead,
         false},
        {"both read and write sharing both", GENERIC_READ | GENERIC_WRITE, kRead | kWrite,
         GENERIC_READ | GENERIC_WRITE, kRead | kWrite, true},
        {"read and write sharing nothing, read sharing all", GENERIC_READ | GENERIC_WRITE, 0,
         GENERIC_READ, kAll, false},
        {"no access sharing nothing, read and write sharing nothing", 0, 0,
         GENERIC_READ | GENERIC_WRITE, 0, true},
        {"no access sharing nothing, delete sharing nothing", 0, 0, DELETE, 0, true},
        {"attributes only sharing nothing, read sharing nothing", FILE_READ_ATTRIBUTES, 0,
         GENERIC_READ, 0, true},
        {"delete sharing all, read sharing reading and writing", DELETE, kAll, GENERIC_READ,
         kRead | kWrite, false},
        {"delete sharing all, read sharing reading and deleting", DELETE, kAll, GENERIC_READ,
         kRead | kDelete, true},
        {"read sharing deleting only, delete sharing reading", GENERIC_READ, kDelete, DELETE,
         kRead, true},
        {"delete sharing nothing, delete sharing all", DELETE, 0, DELETE, kAll, false},
        {"execute is reading", GENERIC_EXECUTE, kWrite, GENERIC_READ, kAll, false},
        {"appending is writing", FILE_APPEND_DATA, kRead, GENERIC_READ, kRead, false},
        {"generic all is every right", GENERIC_ALL, kAll, GENERIC_READ, kRead | kWrite, false},
    };
    Put(kDest, "held");
    for (const Row& row : rows) {
        for (bool swapped : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (swapped ? ", the other way round" : ""));
            std::pair<DWORD, DWORD> one{row.access1, row.share1}, two{row.access2, row.share2};
            if (swapped) std::swap(one, two);
            HANDLE first = CreateFileA(kDest, one.first, one.second, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
            ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
            SetLastError(1234);
            HANDLE second = CreateFileA(kDest, two.first, two.second, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
            EXPECT_EQ(second != INVALID_HANDLE_VALUE, row.opens);
            EXPECT_EQ(GetLastError(), row.opens ? 0u : 32u);
            if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
            CloseHandle(first);
        }
    }
}

}  // namespace
