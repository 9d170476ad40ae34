// The moves that MoveFileExA(..., MOVEFILE_DELAY_UNTIL_REBOOT) records for
// the restart, in HKLM\SYSTEM\CurrentControlSet\Control\Session Manager
// PendingFileRenameOperations, and what the restart does with them; and the
// rename that every move makes, now or then.
#ifndef VTN2_EMU_PENDING_MOVES_H
#define VTN2_EMU_PENDING_MOVES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "attribute_store.h"

namespace emu {

// Adds a move of `source` to `destination` to the value, as Windows records
// it: each path in its full form after "\??\", the destination after "!"
// when `flags` hold MOVEFILE_REPLACE_EXISTING, or empty (none or "" given)
// for a deletion. Returns a Win32 error code: the destination's when it is
// no path a file call takes (Resolve, paths.h), or the registry store's.
uint32_t RecordPendingMove(const char* source, const char* destination, uint32_t flags);

// Restarts the machine at ROOT: its volatile keys go, and the recorded moves
// are carried out in order, as Windows does while it starts: a read-only
// destination is replaced, an empty destination deletes the source, DOS
// attributes go with the file. Then the value is removed.
// Returns one note for each move that could not be made (and was skipped).
// Throws std::runtime_error when ROOT holds no registry.
std::vector<std::string> RestartMachine(const std::filesystem::path& root);

// Renames from to `to`, the host path of the Windows path given, and gives
// the file the last name as given: a file that only changes the case of its
// name, or replaces one whose name differs in case, takes the case given.
uint32_t RenameAsGiven(const std::filesystem::path& from, const std::filesystem::path& to,
                       std::string_view given, AttributeStore& attributes);

}  // namespace emu

#endif
