// The descriptor model's SDDL text (platform/emu/sddl.cpp), as vtn2-machine
// reads and prints a key's descriptor.
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/platform.h"

namespace {

TEST_F(Security, SddlOfAKeyRoundTripsInCanonicalForm) {
    const std::pair<const char*, const char*> rows[] = {
        {emu::kDefaultKeySddl, emu::kDefaultKeySddl},
        {"O:S-1-5-32-544D:(A;;0xF003F;;;S-1-5-18)", "O:BAD:(A;;KA;;;SY)"},
        {"D:(A;;RCWD;;;BU)(D;;KX;;;AU)", "D:(A;;0x60000;;;BU)(D;;KR;;;AU)"},
        {"G:SYO:BAD:PAI(A;CIOIID;GA;;;CO)", "O:BAG:SYD:PAI(A;OICIID;GA;;;CO)"},
        {"O:BAD:NO_ACCESS_CONTROL", "O:BAD:NO_ACCESS_CONTROL"},
        {"O:BAD:", "O:BAD:"},
        {"O:S-1-5-21-7-500D:(A;;0x0;;;S-1-0x10000000000-1)",
         "O:S-1-5-21-7-500D:(A;;0x0;;;S-1-0x10000000000-1)"},
    };
    for (const auto& [given, printed] : rows) {
        SetSddl(given);
        EXPECT_EQ(Sddl(), printed) << given;
    }
}

TEST_F(Security, ObjectAndContainerInheritEachAloneReadBackAlone) {
    const std::pair<const char*, BYTE> rows[] = {{"OI", 0x01}, {"CI", 0x02}};
    for (const auto& [code, flag] : rows) {
        SCOPED_TRACE(code);
        const std::string sddl = std::string("O:BAD:(A;") + code + ";KA;;;BA)";
        SetSddl(sddl);
        EXPECT_EQ(Sddl(), sddl);
        Key key;
        ASSERT_EQ(Open(READ_CONTROL | WRITE_DAC, key), 0);
        std::vector<BYTE> dacl = KeySecurity(key.handle, DACL_SECURITY_INFORMATION);
        ASSERT_EQ(dacl.size(), 20u + 8u + 24u);
        EXPECT_EQ(dacl[Dword(dacl, 16) + 8 + 1], flag) << "the one ACE's flags";

        SetSddl("O:BAD:(A;;KA;;;BA)");
        EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, dacl.data()), 0);
        EXPECT_EQ(Sddl(), sddl) << "the binary ACE's flags, in SDDL";
    }
}

TEST_F(Security, MalformedSddlIsRefusedSayingWhyAndChangesNothing) {
    SetSddl("O:SYD:(A;;KA;;;BA)");
    const std::pair<const char*, const char*> rows[] = {
        {"", "empty"},
        {"X:BA", "expected O:, G: or D:"},
        {"O:XX", "unknown SID 'XX'"},
        {"D:(A;;KQ;;;BA)", "unknown rights 'KQ'"},
        {"D:(Z;;KA;;;BA)", "unknown ACE type 'Z'"},
        {"D:(A;;KA;;BA)", "six fields"},
        {"D:(A;;KA;;;BA", "without ')'"},
        {"D:NO_ACCESS_CONTROL(A;;KA;;;BA)", "NULL DACL has no ACEs"},
    };
    for (const auto& [given, why] : rows) {
        try {
            SetSddl(given);
            ADD_FAILURE() << "accepted '" << given << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Sddl(), "O:SYD:(A;;KA;;;BA)");
    EXPECT_THROW(emu::WriteKeySddl(root_, "HKLM\\SOFTWARE\\Nope", "O:BA"), std::runtime_error);
}

}  // namespace
