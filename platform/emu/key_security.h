// The one place that sees both a registry key and its security descriptor:
// the key keeps SDDL text, the calls want the model.
#ifndef VTN2_EMU_KEY_SECURITY_H
#define VTN2_EMU_KEY_SECURITY_H

#include <filesystem>
#include <string>
#include <string_view>

#include "registry_store.h"
#include "sddl.h"

namespace emu {

// A key's descriptor, the default one when it has none of its own. Throws
// std::invalid_argument when the stored text is malformed.
SecurityDescriptor KeyDescriptor(const RegKey& key);
void SetKeyDescriptor(RegKey& key, const SecurityDescriptor& descriptor);

// `vtn2-machine reg sddl`: a key of ROOT's registry ("HKLM\..." or
// "HKEY_LOCAL_MACHINE\...") read or given a descriptor. Throw
// std::runtime_error for a missing key, std::invalid_argument for bad SDDL.
std::string ReadKeySddl(const std::filesystem::path& root, std::string_view keyPath);
void WriteKeySddl(const std::filesystem::path& root, std::string_view keyPath,
                  std::string_view sddl);

}  // namespace emu

#endif
