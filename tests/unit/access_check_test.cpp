// The access check behind every key handle (platform/emu/access_check.cpp).
#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/platform.h"

namespace {

TEST_F(Security, OpeningAKeyChecksItsDaclForAnElevatedAdministrator) {
    struct Row {
        const char* name;
        const char* sddl;
        DWORD access;
        LSTATUS status;
    };
    const char* const kOnlyQuery = "O:BAD:(A;;0x1;;;BA)";
    const Row rows[] = {
        {"default: all for BA", emu::kDefaultKeySddl, KEY_ALL_ACCESS, 0},
        {"default: generic read", emu::kDefaultKeySddl, GENERIC_READ, 0},
        {"WOW64 view flags ask for no rights", emu::kDefaultKeySddl, KEY_READ | 0x100, 0},
        {"ACE for a group not in the token", "O:SYD:(A;;KA;;;BU)", KEY_QUERY_VALUE, 5},
        {"generic all in an ACE", "O:SYD:(A;;GA;;;AU)", KEY_ALL_ACCESS, 0},
        {"inherit-only ACE is skipped", "O:SYD:(A;IO;KA;;;BA)", KEY_QUERY_VALUE, 5},
        {"deny read control: KEY_READ", "O:SYD:(D;;RC;;;WD)(A;;KA;;;BA)", KEY_READ, 5},
        {"deny read control: query value", "O:SYD:(D;;RC;;;WD)(A;;KA;;;BA)", KEY_QUERY_VALUE, 0},
        {"deny read control: not the owner's", "O:BAD:(D;;RC;;;WD)(A;;KA;;;BA)", READ_CONTROL, 0},
        {"only 0x1: all access", kOnlyQuery, KEY_ALL_ACCESS, 5},
        {"only 0x1: query value", kOnlyQuery, KEY_QUERY_VALUE, 0},
        {"only 0x1: owner reads the DACL", kOnlyQuery, READ_CONTROL, 0},
        {"only 0x1: owner writes the DACL", kOnlyQuery, WRITE_DAC, 0},
        {"only 0x1: owner may not delete", kOnlyQuery, 0x10000, 5},
        {"owner rights ACE replaces the implicit", "O:BAD:(A;;0x1;;;OW)", READ_CONTROL, 5},
        {"empty DACL: nothing", "O:BAD:", KEY_QUERY_VALUE, 5},
        {"empty DACL: owner's implicit rights", "O:BAD:", READ_CONTROL | WRITE_DAC, 0},
        {"empty DACL: not the owner", "O:SYD:", READ_CONTROL, 5},
        {"NULL DACL grants all", "O:SYD:NO_ACCESS_CONTROL", KEY_ALL_ACCESS, 0},
        {"allow then deny: allowed", "O:SYD:(A;;KA;;;BA)(D;;KA;;;WD)", KEY_ALL_ACCESS, 0},
        {"deny then allow: denied", "O:SYD:(D;;0x2;;;WD)(A;;KA;;;BA)", KEY_SET_VALUE, 5},
        {"deny then allow: other bits", "O:SYD:(D;;0x2;;;WD)(A;;KA;;;BA)", KEY_QUERY_VALUE, 0},
        {"maximum allowed", "O:SYD:(A;;KR;;;BA)", 0x02000000, 0},
        {"maximum allowed, nothing granted", "O:SYD:", 0x02000000, 5},
    };
    for (const Row& row : rows) {
        SetSddl(row.sddl);
        Key key;
        EXPECT_EQ(Open(row.access, key), row.status) << row.name;
        EXPECT_EQ(key.handle == nullptr, row.status != 0) << row.name;
    }
}

}  // namespace
