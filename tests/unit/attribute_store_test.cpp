// The file attributes the machine keeps (platform/emu/attribute_store.cpp).
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/pending_moves.h"
#include "platform/emu/store_file.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class AttributeStore : public MachineTest {};

TEST_F(AttributeStore, DamageFailsTheFileCallsAsAFileSystemItCannotRead) {
    fs::path file = OnDriveC("C:\\data.txt");
    WriteHostFile(file, "x", 1600000000);
    ASSERT_TRUE(SetFileAttributesA("C:\\data.txt", FILE_ATTRIBUTE_READONLY));
    // A move at restart, so that a restart has attributes to read.
    ASSERT_TRUE(MoveFileExA("C:\\data.txt", "C:\\moved.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    const std::string good = ReadHostFile(root_ / "attributes");
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
        EXPECT_EQ(ReadHostFile(root_ / "attributes"), row.text) << "never repaired";
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
