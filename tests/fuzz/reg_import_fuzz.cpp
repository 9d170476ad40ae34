// Any bytes as a .reg file. Refusing it with std::runtime_error is fine, as
// long as the registry is left as it was; a text that imports must come back
// the same through an export of HKEY_LOCAL_MACHINE and through the machine's
// own registry file.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/emu/registry_store.h"
#include "support.h"
#include "tools/machine/regfile.h"

namespace {

std::string ExportMachine(emu::Registry& registry) {
    return ExportRegText(registry, *registry.Root("HKEY_LOCAL_MACHINE"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    emu::Registry registry;
    const std::string empty = registry.Serialize();
    try {
        ImportRegText(registry, bytes, "fuzz.reg");
    } catch (const std::runtime_error&) {
        if (registry.Serialize() != empty) fuzz::Finding("a refused import changed the registry");
        return 0;
    }

    std::string exported = ExportMachine(registry);
    emu::Registry again;
    try {
        ImportRegText(again, exported, "exported.reg");
    } catch (const std::runtime_error& e) {
        fuzz::Finding(std::string("the export does not import: ") + e.what() + "\n" + exported);
    }
    if (ExportMachine(again) != exported) {
        fuzz::Finding("the export imports as other keys:\n" + exported + "\n---\n" +
                      ExportMachine(again));
    }

    std::string stored = registry.Serialize();
    std::string reloaded;
    try {
        reloaded = emu::Registry::Parse(stored)->Serialize();
    } catch (const std::runtime_error& e) {
        fuzz::Finding(std::string("the registry file does not load: ") + e.what() + "\n" + stored);
    }
    if (reloaded != stored) {
        fuzz::Finding("the registry file loads as another registry:\n" + stored + "\n---\n" +
                      reloaded);
    }
    return 0;
}
