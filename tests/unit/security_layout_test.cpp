// Descriptors in Windows' self-relative layout (platform/emu/security_layout.cpp),
// as RegGetKeySecurity hands them out.
#include <vector>

#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/emu/security_layout.h"
#include "platform/platform.h"

namespace {

TEST_F(Security, GetKeySecurityGivesASelfRelativeDescriptorOfWhatIsAsked) {
    Key key;
    ASSERT_EQ(Open(READ_CONTROL, key), 0);
    DWORD size = 91;
    std::vector<BYTE> small(size);
    EXPECT_EQ(RegGetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, small.data(), &size), 122);
    EXPECT_EQ(size, 92u);

    std::vector<BYTE> dacl = KeySecurity(key.handle, DACL_SECURITY_INFORMATION);
    ASSERT_EQ(dacl.size(), 92u);
    EXPECT_EQ(Bytes(dacl.data(), 20), (std::vector<BYTE>{1, 0, 0x04, 0x80, 0, 0, 0,  0, 0, 0,
                                                         0, 0, 0,    0,    0, 0, 20, 0, 0, 0}))
        << "revision 1, self-relative with a DACL, at offset 20 and nothing else";
    EXPECT_EQ(Bytes(dacl.data() + 20, 8), (std::vector<BYTE>{2, 0, 72, 0, 3, 0, 0, 0}));
    struct AceRow {
        size_t at;
        DWORD mask;
        std::vector<BYTE> sid;
    };
    for (const AceRow& ace :
         {AceRow{28, KEY_ALL_ACCESS, kAdminsSid}, AceRow{52, KEY_ALL_ACCESS, kSystemSid},
          AceRow{72, KEY_READ, kEveryoneSid}}) {
        EXPECT_EQ(Word(dacl, ace.at), 0u) << "allowed, no flags, at " << ace.at;
        EXPECT_EQ(Word(dacl, ace.at + 2), 8 + ace.sid.size()) << ace.at;
        EXPECT_EQ(Dword(dacl, ace.at + 4), ace.mask) << ace.at;
        EXPECT_EQ(Bytes(dacl.data() + ace.at + 8, ace.sid.size()), ace.sid) << ace.at;
    }

    std::vector<BYTE> both = KeySecurity(key.handle, OWNER_SECURITY_INFORMATION | 4);
    ASSERT_EQ(both.size(), 92u + 16u);
    ASSERT_NE(Dword(both, 4), 0u);
    EXPECT_EQ(Bytes(both.data() + Dword(both, 4), 16), kAdminsSid);
    emu::SecurityDescriptor parsed;
    ASSERT_EQ(emu::ReadDescriptor(both.data(), parsed), 0u);
    EXPECT_EQ(emu::FormatSddl(parsed), emu::kDefaultKeySddl);
}

}  // namespace
