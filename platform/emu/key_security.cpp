#include "key_security.h"

#include <stdexcept>

#include "registry_store.h"

namespace emu {

SecurityDescriptor KeyDescriptor(const RegKey& key) {
    return ParseSddl(key.Sddl().empty() ? kDefaultKeySddl : key.Sddl());
}

void SetKeyDescriptor(RegKey& key, const SecurityDescriptor& descriptor) {
    std::string text = FormatSddl(descriptor);
    key.SetSddl(text == kDefaultKeySddl ? "" : text);
}

std::string ReadKeySddl(const std::filesystem::path& root, std::string_view keyPath) {
    RegistryTransaction transaction(root);
    const RegKey* key = transaction.registry().FindPath(keyPath);
    if (!key) throw std::runtime_error("no key " + std::string(keyPath) + " in " + root.string());
    return FormatSddl(KeyDescriptor(*key));
}

void WriteKeySddl(const std::filesystem::path& root, std::string_view keyPath,
                  std::string_view sddl) {
    SecurityDescriptor descriptor = ParseSddl(sddl);
    RegistryTransaction transaction(root);
    RegKey* key = transaction.registry().FindPath(keyPath);
    if (!key) throw std::runtime_error("no key " + std::string(keyPath) + " in " + root.string());
    SetKeyDescriptor(*key, descriptor);
    transaction.Commit();
}

}  // namespace emu
