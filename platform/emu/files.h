// The emulated machine's files beyond the Windows calls: what a restart does
// to them.
#ifndef VTN2_EMU_FILES_H
#define VTN2_EMU_FILES_H

#include <filesystem>
#include <string>
#include <vector>

namespace emu {

// Carries out the moves that MoveFileExA(..., MOVEFILE_DELAY_UNTIL_REBOOT)
// recorded in HKLM\SYSTEM\CurrentControlSet\Control\Session Manager
// PendingFileRenameOperations, in order, as Windows does while it starts:
// a read-only destination is replaced, an empty destination deletes the
// source, DOS attributes go with the file. Then the value is removed.
// Returns one note for each move that could not be made (and was skipped).
// Throws std::runtime_error when ROOT holds no registry.
std::vector<std::string> RestartMachine(const std::filesystem::path& root);

}  // namespace emu

#endif
