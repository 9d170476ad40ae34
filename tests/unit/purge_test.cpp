#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/emulation.h"
#include "upgrade/upgrade.h"

namespace {

constexpr char kServices[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

class Purge : public MachineTest {
protected:
    // Keys under Services, given as paths below it.
    void AddServiceKeys(const std::vector<std::string>& paths) {
        std::string text;
        for (const std::string& path : paths) text += "[" + std::string(kServices) + path + "]\n";
        ImportReg(text);
    }
    // Every key under Services, as paths below it, in listing order.
    std::vector<std::string> ServiceKeys() {
        emu::RegistryTransaction transaction(root_);
        emu::RegKey* services =
            transaction.registry().FindPath("HKLM\\SYSTEM\\CurrentControlSet\\Services");
        std::vector<std::string> out;
        Walk(*services, "", out);
        return out;
    }
    std::string Sddl(const std::string& service) {
        emu::RegistryTransaction transaction(root_);
        return transaction.registry().FindPath(std::string(kServices) + service)->Sddl();
    }
    // The service database key, opened as the purge opens it.
    static HKEY OpenServices() {
        HKEY services = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\", 0, KEY_READ,
                      &services);
        return services;
    }
    void SetSddl(const std::string& service, const std::string& sddl) {
        emu::RegistryTransaction transaction(root_);
        transaction.registry().FindPath(std::string(kServices) + service)->SetSddl(sddl);
        transaction.Commit();
    }

private:
    static void Walk(const emu::RegKey& key, const std::string& prefix,
                     std::vector<std::string>& out) {
        for (emu::RegKey* sub : key.Subkeys()) {
            out.push_back(prefix + sub->name());
            Walk(*sub, prefix + sub->name() + "\\", out);
        }
    }
};

struct PurgeRow {
    const char* name;
    std::vector<std::string> before;
    int result;
    std::vector<std::string> after;
};

TEST_F(Purge, DeletesInAtMostTwoPassesWithAnIndexThatMovesOn) {
    const PurgeRow rows[] = {
        {"no matching name", {"Tcpip", "vlqother", "VLQWDZSV"}, 0, {"Tcpip", "vlqother", "VLQWDZSV"}},
        {"the restart service alone", {"Tcpip", "vlqwdzsv"}, 1, {"Tcpip"}},
        {"both keys side by side", {"vlqwdzex", "vlqwdzsv", "W32Time"}, 1, {"W32Time"}},
        {"fragments inside longer names", {"avlqwdzsvb", "x_vlqwdzex"}, 1, {}},
        {"one leaf subkey", {"vlqwdzsv\\Enum"}, 1, {}},
        {"three leaf subkeys",
         {"vlqwdzsv\\A", "vlqwdzsv\\B", "vlqwdzsv\\C"}, 1, {}},
        {"four leaf subkeys",
         {"vlqwdzsv\\A", "vlqwdzsv\\B", "vlqwdzsv\\C", "vlqwdzsv\\D"}, 0,
         {"vlqwdzsv", "vlqwdzsv\\D"}},
        {"both with two leaf subkeys",
         {"vlqwdzex\\A", "vlqwdzex\\B", "vlqwdzsv\\A", "vlqwdzsv\\B"}, 1,
         {"vlqwdzsv", "vlqwdzsv\\B"}},
        {"subkey of a subkey",
         {"vlqwdzsv\\Parameters\\Setting"}, 1, {}},
        {"four subkeys of a subkey",
         {"vlqwdzsv\\P\\A", "vlqwdzsv\\P\\B", "vlqwdzsv\\P\\C", "vlqwdzsv\\P\\D"}, 0,
         {"vlqwdzsv", "vlqwdzsv\\P", "vlqwdzsv\\P\\D"}},
        {"anything deeper stays",
         {"vlqwdzsv\\P\\Q\\R"}, 0, {"vlqwdzsv", "vlqwdzsv\\P", "vlqwdzsv\\P\\Q", "vlqwdzsv\\P\\Q\\R"}},
    };
    for (const PurgeRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        AddServiceKeys(row.before);
        EXPECT_EQ(PurgeServiceKeys(), row.result);
        EXPECT_EQ(ServiceKeys(), row.after);
    }
}

TEST_F(Purge, ServiceDatabaseThatCannotBeOpenedChangesNothing) {
    AddServiceKeys({"vlqwdzsv"});
    WriteFaults("RegOpenKeyExA HKLM\\SYSTEM\\CurrentControlSet\\Services 5\n");
    EXPECT_EQ(PurgeServiceKeys(), 0);
    EXPECT_EQ(ServiceKeys(), std::vector<std::string>{"vlqwdzsv"});
}

TEST_F(Purge, KeyThatCannotBeOpenedIsLeftAlone) {
    AddServiceKeys({"vlqwdzsv\\Enum"});
    SetSddl("vlqwdzsv", "O:SYD:(A;;KR;;;BA)");
    EXPECT_EQ(PurgeServiceKeys(), 0);
    EXPECT_EQ(ServiceKeys(), (std::vector<std::string>{"vlqwdzsv", "vlqwdzsv\\Enum"}));
}

TEST_F(Purge, GrantLeavesOnlyFullControlForTheAdministrators) {
    AddServiceKeys({"vlqwdzsv"});
    SetSddl("vlqwdzsv", "O:SYG:SYD:(A;;KR;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)");
    HKEY services = OpenServices();
    ASSERT_NE(services, nullptr);
    EXPECT_EQ(GrantAdminsFullControl(services, "vlqwdzsv"), 0);
    RegCloseKey(services);
    EXPECT_EQ(Sddl("vlqwdzsv"), "O:SYG:SYD:(A;;KA;;;BA)");
}

TEST_F(Purge, GrantNeedsToReadTheDescriptorFirst) {
    AddServiceKeys({"vlqwdzsv"});
    const std::string denied = "O:SYD:(D;;RC;;;BA)(A;;KA;;;BA)";
    SetSddl("vlqwdzsv", denied);
    HKEY services = OpenServices();
    ASSERT_NE(services, nullptr);
    EXPECT_EQ(GrantAdminsFullControl(services, "vlqwdzsv"), 1);
    RegCloseKey(services);
    EXPECT_EQ(Sddl("vlqwdzsv"), denied);
}

TEST_F(Purge, GrantFailingAtAnyStepChangesNothingAndReleasesAll) {
    const char* const steps[] = {
        "RegGetKeySecurity *vlqwdzsv 5",      "HeapAlloc * 8",
        "AllocateAndInitializeSid * 8",        "InitializeAcl * 87",
        "AddAccessAllowedAce * 1344",          "InitializeSecurityDescriptor * 87",
        "SetSecurityDescriptorDacl * 87",      "RegSetKeySecurity *vlqwdzsv 5",
    };
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        TearDown();
        SetUp();
        AddServiceKeys({"vlqwdzsv\\Enum"});
        WriteFaults(std::string(step) + "\n");
        EXPECT_EQ(PurgeServiceKeys(), 0);
        EXPECT_EQ(ServiceKeys(), std::vector<std::string>{"vlqwdzsv"}) << "its subkey is gone";
        EXPECT_EQ(Sddl("vlqwdzsv"), "");
    }
}

TEST_F(Purge, HeapThatCannotBeHadAtAnyPointLeavesNoBlockBehind) {
    AddServiceKeys({"vlqwdzsv"});
    HKEY services = OpenServices();
    ASSERT_NE(services, nullptr);
    emu::ClearCallLog();
    EXPECT_EQ(GrantAdminsFullControl(services, "vlqwdzsv"), 0);
    std::vector<size_t> heapCalls;
    std::vector<std::string> calls = emu::CallLog();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == "GetProcessHeap") heapCalls.push_back(i + 1);
    }
    ASSERT_FALSE(heapCalls.empty());
    for (size_t number : heapCalls) {
        SCOPED_TRACE(number);
        WriteFaults("call:" + std::to_string(number) + " unit_tests 5\n");
        emu::ClearCallLog();
        GrantAdminsFullControl(services, "vlqwdzsv");
        EXPECT_EQ(emu::OutstandingResources(), 1u) << emu::DescribeOutstanding();
    }
    RegCloseKey(services);
}

}  // namespace
