#ifndef VTN2_EMU_PATHS_H
#define VTN2_EMU_PATHS_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace emu {

// Where a Windows path lives on the host. "\" and "/" both separate, "." and
// ".." fold (never above the root), and each component is matched against
// what exists without regard to case; from the first component that doesn't
// exist on, the case given is kept, so that what is created carries it.
//   C:\...   ROOT/drive_c/...      (the "\\?\" and "\??\" prefixes are dropped)
//   \...     the current drive, C:
//   Z:\...   the host's /, as Wine maps it
//   /...     a host path, as given
//   other    relative to the host's current directory
// None when the drive is another or there is no machine for C:.
std::optional<std::filesystem::path> HostPath(std::string_view windowsPath);
// The host path of a Windows path given to a file call, or the error Windows
// gives for it: the machine must be there and the drive ours, an 8-bit path,
// counted with its NUL, takes no more than MAX_PATH characters, and its names
// are names (a pattern's last one may hold wildcards).
std::optional<std::filesystem::path> Resolve(const char* windowsPath, uint32_t& error,
                                             bool pattern = false);

// The full path that Windows makes of a path (GetFullPathName): absolute
// against the current directory (a rooted one on drive C:), one backslash
// between names, "." and ".." resolved (never above the drive), dots and
// blanks at the end dropped, and the case as given. After the "\\?\" or
// "\??\" prefix a path is taken as it is; a host path ("/...") becomes the
// Windows form of where it lives.
std::string FullWindowsPath(std::string_view path);

// Whether a path names only what Windows can name: no ':' but the drive's
// (there are no streams here), and no wildcard or other character that no
// name may hold (* ? < > " | and the control characters). A search pattern
// may hold wildcards in its last name.
bool IsValidPath(std::string_view path, bool pattern = false);

// Whether the path ends with a separator, which names what is in a folder.
bool EndsWithSeparator(std::string_view path);

// The Windows form of a host path: "C:\..." inside drive_c, "Z:\..." elsewhere.
std::string WindowsPath(const std::filesystem::path& hostPath);

}  // namespace emu

#endif
