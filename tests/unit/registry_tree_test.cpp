// The registry's tree (platform/emu/registry_tree.cpp): keys within Windows' depth.
#include <string>

#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/platform.h"
#include "tools/machine/regfile.h"

namespace {

TEST_F(Store, KeysGoNoDeeperThanWindowsAllows) {
    struct Row {
        HKEY root;
        const char* name;
        size_t levels;  // below the root, as Windows counts 512 from \REGISTRY
    };
    const Row rows[] = {{HKEY_LOCAL_MACHINE, "HKLM", 510}, {HKEY_CURRENT_USER, "HKCU", 509}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = "d";
        for (size_t level = 1; level < row.levels; ++level) path += "\\d";
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(row.root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  0);
        HKEY deeper = nullptr;
        EXPECT_EQ(RegCreateKeyExA(key, "e", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper,
                                  nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(RegCreateKeyExA(row.root, (path + "\\e\\f").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(deeper, nullptr);
        RegCloseKey(key);
    }
    // The deepest store there can be exports, reads back and is removed
    // whole, none of it on the call stack.
    emu::RegistryTransaction transaction(root_);
    emu::Registry& registry = transaction.registry();
    emu::RegKey* top = registry.FindPath("HKLM\\d");
    std::string exported = ExportRegText(registry, *top);
    emu::Registry copy;
    ImportRegText(copy, exported, "deep.reg");
    EXPECT_EQ(ExportRegText(copy, *copy.FindPath("HKLM\\d")), exported);
    EXPECT_EQ(emu::Registry::Parse(registry.Serialize())->Serialize(), registry.Serialize());
    registry.Remove(*top);
    EXPECT_EQ(registry.FindPath("HKLM\\d"), nullptr);
}

}  // namespace
