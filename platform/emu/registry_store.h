// Where the emulated machine's registry is kept, ROOT/registry, and the one
// way to reach it: the file, its lock and this process's cache of the tree.
//
// Every process that touches it (the Installer, the programs it starts,
// vtn2-machine) works inside a RegistryTransaction: an exclusive lock on
// ROOT/registry.lock for the length of one change, so no process ever sees
// another's half-made change. A process keeps the tree it loaded between
// transactions and, under the lock, reads only what others appended since.
// What a commit writes, and when the store is rewritten whole:
// docs/emulated-machine.md, "The stores".
#ifndef VTN2_EMU_REGISTRY_STORE_H
#define VTN2_EMU_REGISTRY_STORE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "registry_tree.h"
#include "store_file.h"

namespace emu {

// An exclusive hold on one machine's registry for the length of one change.
class RegistryTransaction {
public:
    // Throws std::runtime_error when ROOT holds no registry, StoreCorrupt
    // when it holds a corrupt one; the lock is released either way.
    explicit RegistryTransaction(const std::filesystem::path& root);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    Registry& registry();
    // Keeps the changes (all or none, whenever the process is killed);
    // without it nothing is kept.
    void Commit();

    // Writes a new registry for a machine being made (no lock needed yet).
    static void Create(const std::filesystem::path& root, const Registry& registry);

private:
    struct Lock {
        int fd = -1;
        ~Lock();
    };
    std::unique_lock<std::mutex> inProcess_;
    Lock lock_;
    bool committed_ = false;
};

// How the registry, device and file calls reach the registry: the one way.
// Runs operation(registry, commit) in a transaction and returns the Win32
// code it returns; the change is kept when it sets commit. A failure of the
// store itself gives the same code whichever call met it:
//   no machine (VTN2_MACHINE unset, or naming none)       3     ERROR_PATH_NOT_FOUND
//   the store corrupt (said once on standard error)       1015  ERROR_REGISTRY_CORRUPT
//   the store not to be locked, read or written           1015  ERROR_REGISTRY_CORRUPT
uint32_t WithRegistry(const std::function<uint32_t(Registry& registry, bool& commit)>& operation);

}  // namespace emu

#endif
