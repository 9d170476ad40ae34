// A key's descriptor read and written (platform/emu/key_security.cpp).
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/platform.h"

namespace {

TEST_F(Security, SetKeySecurityReplacesTheDaclOnlyAndKeepsIt) {
    SetSddl("O:SYG:BUD:(A;;KA;;;BA)(A;;KR;;;WD)");
    PSID sid = NewAdminsSid();
    std::vector<BYTE> admins = kAdminsSid;
    alignas(8) BYTE acl[32];
    auto* pAcl = reinterpret_cast<PACL>(acl);
    ASSERT_TRUE(InitializeAcl(pAcl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_READ | WRITE_DAC, sid));
    FreeSid(sid);
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&absolute, TRUE, pAcl, FALSE);
    Key key, other;
    ASSERT_EQ(Open(WRITE_DAC, key), 0);
    EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, &absolute), 0);
    EXPECT_EQ(Sddl(), "O:SYG:BUD:(A;;0x60019;;;BA)") << "read back from ROOT/registry";

    ASSERT_EQ(Open(READ_CONTROL, other, "SOFTWARE\\T\\Other"), 0);
    std::vector<BYTE> relative = KeySecurity(other.handle, OWNER_SECURITY_INFORMATION | 4);
    EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, relative.data()), 0);
    const std::string kept = "O:SYG:BUD:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)";
    EXPECT_EQ(Sddl(), kept) << "the owner is not taken from the descriptor";

    struct Row {
        const char* name;
        size_t at;  // the byte spoilt: in the descriptor when below 8, else in the ACL
        BYTE value;
        LSTATUS status;
    };
    const Row rows[] = {
        {"descriptor revision 0", 0, 0, ERROR_INVALID_SECURITY_DESCR},
        {"ACL revision 9", 8 + 0, 9, ERROR_INVALID_ACL},
        {"ACE beyond the ACL's size", 8 + 2, 16, ERROR_INVALID_ACL},
        {"ACE of a type no DACL holds", 8 + 8, 0x11, ERROR_INVALID_ACL},
    };
    for (const Row& row : rows) {
        InitializeAcl(pAcl, sizeof acl, ACL_REVISION);
        AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_READ, admins.data());
        absolute.Revision = 1;
        (row.at < 8 ? reinterpret_cast<BYTE*>(&absolute)[row.at] : acl[row.at - 8]) = row.value;
        EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, &absolute), row.status)
            << row.name;
    }
    EXPECT_EQ(Sddl(), kept);
}

}  // namespace
