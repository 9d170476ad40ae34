// The emulated machine's common ground: where it lives, how every emulated
// call enters (counted, and failed when a fault rule says so), and the table
// of everything it has handed out and not yet got back.
#ifndef VTN2_EMU_MACHINE_H
#define VTN2_EMU_MACHINE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace emu {

// ROOT, from VTN2_MACHINE, when it names a machine. When it doesn't, the
// first caller's failure is explained once on standard error.
std::optional<std::filesystem::path> MachineRoot();
bool IsMachine(const std::filesystem::path& root);

// Every emulated call starts here. Returns the Win32 error code with which
// the call must fail, or 0 to go on. The subject is what the call is about:
// a path, a key path from "HKLM\", a device instance ID or device path, or
// nothing.
uint32_t Enter(const char* function, std::string_view subject = {});
// The same, for a subject that Windows folds (a file call's path): a rule
// matches it as given or as `folded` gives it, which runs only when needed.
uint32_t Enter(const char* function, std::string_view subject,
               const std::function<std::string()>& folded);

// Glob with * and ?, letters compared without regard to case.
bool GlobMatch(std::string_view pattern, std::string_view text);

// One line of ROOT/faults. ParseRule returns false for a blank line or one
// whose first non-blank character is '#', and throws std::invalid_argument
// for a malformed one.
struct FaultRule {
    std::string function;
    std::string pattern;
    uint32_t error = 0;
};
bool ParseRule(const std::string& line, FaultRule& rule);

// The Win32 error code for a host errno, for the file and process calls
// alike; 1117 (ERROR_IO_DEVICE) for what has no closer match.
uint32_t ErrorFromErrno(int error);

void SetLastErrorCode(uint32_t code);
uint32_t LastErrorCode();

// Fails a call the way calls that return a BOOL, a handle or a pointer do.
template <class T>
T Fail(uint32_t error, T result) {
    SetLastErrorCode(error);
    return result;
}

enum class Kind { Key, Device, DeviceSet, LocalBlock, CBlock, File, Find, Process, HeapBlock, Sid };
const char* KindName(Kind kind);

struct Object {
    virtual ~Object() = default;
};

// Hands out an object under a new handle value.
void* Register(Kind kind, std::unique_ptr<Object> object);
// Counts a block of memory that the caller allocated itself.
void RegisterBlock(Kind kind, void* block);
// The object behind a live handle of that kind, or null.
Object* Lookup(void* handle, Kind kind);
template <class T>
T* LookupAs(void* handle, Kind kind) {
    return static_cast<T*>(Lookup(handle, kind));
}
// Takes the handle back; false when it is not a live handle of that kind.
bool Release(void* handle, Kind kind);
// Takes back a block counted with RegisterBlock and frees it; false, freeing
// nothing, when it is not a live block of that kind.
bool ReleaseBlock(void* block, Kind kind);

}  // namespace emu

#endif
