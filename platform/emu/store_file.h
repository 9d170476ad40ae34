// What the machine's two stores, ROOT/registry and ROOT/attributes, share:
// how a store's file is read and put in place, how its damage is told, and
// how names are written into its lines.
#ifndef VTN2_EMU_STORE_FILE_H
#define VTN2_EMU_STORE_FILE_H

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fd.h"

namespace emu {

// A store of the machine that does not read back as the writer left it:
// the message names the file, the line and what is wrong.
class StoreCorrupt : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Says on standard error, once for each fault, what is wrong with a store:
// a program whose calls fail for it then tells its user why.
void ReportCorrupt(const StoreCorrupt& error);

// Text with every byte that could break a line of the machine's stores
// (blanks, controls, '%', bytes above 0x7E) written as %XX, and back; false
// when the text holds a malformed %XX.
std::string PercentEncode(std::string_view text);
bool PercentDecode(std::string_view text, std::string& out);

// Throw std::runtime_error naming `path` when the file can't be written or read.
void WriteAt(int fd, std::string_view text, off_t at, const std::filesystem::path& path);
std::string ReadRange(int fd, off_t from, off_t to, const std::filesystem::path& path);

// Puts a new store in place of `store` in one step: written whole to
// STORE.tmp.PID, then renamed over it. This is atomic against a process
// killed at any point (a reader finds the old store or the new one, and the
// next program to open the machine removes the temporary of a writer that
// died), not against a power cut: nothing is synced to the disk, which would
// make every change wait for it. Returns the new store, open for reading and
// writing. Throws std::runtime_error when the temporary can't be written,
// std::filesystem::filesystem_error when the rename fails; the temporary
// is gone either way.
Fd ReplaceStore(const std::filesystem::path& store, std::string_view text);

}  // namespace emu

#endif
