// The machine tool's work, apart from its command line: making a machine and
// moving registry keys in and out as .reg text.
#ifndef VTN2_TOOLS_MACHINE_REGFILE_H
#define VTN2_TOOLS_MACHINE_REGFILE_H

#include <filesystem>
#include <string>

#include "../../platform/emu/registry_store.h"

// Makes an empty machine in ROOT, creating ROOT when missing. Throws
// std::runtime_error when ROOT already holds a registry.
void InitMachine(const std::filesystem::path& root);

// Applies .reg text (UTF-16LE with BOM, or UTF-8) to the registry. The whole
// text is read before anything changes, so on a malformed line this throws
// std::runtime_error ("FILE:LINE: reason: expected ...") with the registry
// as it was.
void ImportRegText(emu::Registry& registry, const std::string& bytes, const std::string& fileName);

// KEY and everything under it as "Windows Registry Editor Version 5.00" text,
// UTF-8 with LF line ends, which ImportRegText reads back to the same keys.
std::string ExportRegText(const emu::Registry& registry, const emu::RegKey& key);

#endif
