// The Win32 error codes the emulated machine gives that platform.h does not
// declare, each once, under Windows' name. They stay out of platform.h, the
// header through which the Installer reaches the system: the Installer never
// names them.
#ifndef VTN2_EMU_ERRORS_H
#define VTN2_EMU_ERRORS_H

#include <cstdint>

namespace emu {

constexpr uint32_t kErrorFileExists = 80;             // ERROR_FILE_EXISTS
constexpr uint32_t kErrorInvalidName = 123;           // ERROR_INVALID_NAME
constexpr uint32_t kErrorModNotFound = 126;           // ERROR_MOD_NOT_FOUND
constexpr uint32_t kErrorBadPathname = 161;           // ERROR_BAD_PATHNAME
constexpr uint32_t kErrorFilenameTooLong = 206;       // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrorDirectoryInvalid = 267;      // ERROR_DIRECTORY
constexpr uint32_t kErrorInvalidRegProperty = 534;    // ERROR_INVALID_REG_PROPERTY
constexpr uint32_t kErrorBadKey = 1010;               // ERROR_BADKEY
constexpr uint32_t kErrorRegistryCorrupt = 1015;      // ERROR_REGISTRY_CORRUPT
constexpr uint32_t kErrorChildMustBeVolatile = 1021;  // ERROR_CHILD_MUST_BE_VOLATILE
constexpr uint32_t kErrorUnknownRevision = 1305;      // ERROR_UNKNOWN_REVISION
constexpr uint32_t kErrorPrivilegeNotHeld = 1314;     // ERROR_PRIVILEGE_NOT_HELD
// What Windows gives for a file system it can't read: ROOT/attributes
// stands for that part of the file system.
constexpr uint32_t kErrorFileCorrupt = 1392;          // ERROR_FILE_CORRUPT

}  // namespace emu

#endif
