// The DOS attributes of the machine's files (read-only, hidden, system...),
// kept in ROOT/attributes: only those that differ from a new file's, by the
// file's absolute host path with its directory made canonical, so that files
// outside ROOT have them too and a link names itself rather than its target.
// Every process holds ROOT/attributes.lock while it reads or changes them; a
// change replaces the store as a whole (ReplaceStore, store_file.h).
#ifndef VTN2_EMU_ATTRIBUTE_STORE_H
#define VTN2_EMU_ATTRIBUTE_STORE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store_file.h"

namespace emu {

class AttributeStore {
public:
    enum Mode { kRead, kWrite };

    // Throws StoreCorrupt when the store is damaged, std::runtime_error
    // when it can't be locked or read.
    AttributeStore(const std::filesystem::path& root, Mode mode);

    std::optional<uint32_t> Get(const std::filesystem::path& host) const;
    void Set(const std::filesystem::path& host, uint32_t attributes);
    void Forget(const std::filesystem::path& host);
    // The entries of a file, or of a directory and all below it, to a new place.
    void Move(const std::filesystem::path& from, const std::filesystem::path& to);
    // Writes the store back; entries of files that are gone go with it.
    void Commit();

private:
    void Load(const std::filesystem::path& store);
    bool ForgetKey(const std::string& top);

    std::filesystem::path root_;
    Fd lock_;
    std::map<std::string, uint32_t> entries_;
    bool changed_ = false;
};

// Runs a change of the attribute store; the operation returns a Win32 error
// code, and the store is kept only when that is 0. The store's own failures:
// no machine 3, the store corrupt 1392 (said once on standard error), a
// file system error its errno's code (ErrorFromErrno), anything else 5.
uint32_t WithAttributes(const std::function<uint32_t(AttributeStore& store)>& operation);

// A file's stored attributes, none when it has none of its own or there is
// no machine; `unreadable` is set when the store is corrupt.
std::optional<uint32_t> StoredAttributes(const std::filesystem::path& host, bool& unreadable);

}  // namespace emu

#endif
