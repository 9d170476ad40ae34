#include "registry_store.h"

#include "../platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "errors.h"
#include "machine.h"
#include "registry_format.h"

namespace emu {

namespace fs = std::filesystem;

namespace {

bool SameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int CountLines(std::string_view text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The registry this process has loaded, kept between transactions. The
// store's file stays open, so that its inode is not reused while it is
// remembered; the lock file stays open too.
struct Cache {
    std::mutex mutex;
    fs::path root;
    Fd lock;
    Fd file;
    struct stat seen {};  // the file as last read or written
    off_t validEnd = 0;   // the end of the last whole transaction
    off_t snapshotEnd = 0;
    int validLines = 0;
    bool torn = false;  // something after validEnd: a transaction cut short
    std::unique_ptr<Registry> registry;

    fs::path Store() const { return root / "registry"; }

    void Drop() {
        registry.reset();
        file.Reset();
    }

    void Load() {
        Drop();
        fs::path store = Store();
        int fd = ::open(store.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = ::open(store.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot read " + store.string() + ": " + std::strerror(errno));
        file.Reset(fd);
        if (::fstat(fd, &seen) != 0) throw std::runtime_error("cannot read " + store.string());
        std::string text = ReadRange(fd, 0, seen.st_size, store);
        std::unique_ptr<Registry> loaded = StoreReader::Bare();
        StoreReader reader(*loaded, store.string(), StoreReader::kHeader, 0);
        validEnd = static_cast<off_t>(reader.Read(text));
        text = std::string();
        loaded->MarkSaved();
        snapshotEnd = static_cast<off_t>(reader.snapshotEnd());
        validLines = reader.lines();
        torn = reader.torn();
        registry = std::move(loaded);
    }

    // Brings the loaded registry up to what the store holds now: nothing to
    // do when nobody wrote, the appended transactions when others committed,
    // a whole load when the store was replaced or edited by hand.
    void Refresh() {
        struct stat now {};
        if (::stat(Store().c_str(), &now) != 0)
            throw std::runtime_error("cannot read " + Store().string() + ": " + std::strerror(errno));
        if (registry && SameVersion(now, seen)) return;
        const bool appended = registry && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
                              now.st_size > seen.st_size;
        if (!appended) return Load();
        try {
            std::string text = ReadRange(file.get(), validEnd, now.st_size, Store());
            StoreReader reader(*registry, Store().string(), StoreReader::kJournal, validLines);
            validEnd += static_cast<off_t>(reader.Read(text));
            validLines = reader.lines();
            torn = reader.torn();
            if (::fstat(file.get(), &seen) != 0) throw std::runtime_error("cannot read " + Store().string());
        } catch (...) {
            Drop();
            throw;
        }
    }

    // Writes the whole registry as a new snapshot, in place of the store.
    void Compact() {
        std::string text = registry->Serialize();
        file = ReplaceStore(Store(), text);
        ::fstat(file.get(), &seen);
        validEnd = snapshotEnd = static_cast<off_t>(text.size());
        validLines = CountLines(text);
        torn = false;
    }

    void Append(const std::string& text) {
        try {
            WriteAt(file.get(), text, validEnd, Store());
        } catch (...) {
            if (::ftruncate(file.get(), validEnd) != 0) {
                // The next writer finds the cut transaction and ignores it.
            }
            throw;
        }
        ::fstat(file.get(), &seen);
        validEnd += static_cast<off_t>(text.size());
        validLines += CountLines(text);
    }
};

Cache& TheCache() {
    static Cache* cache = new Cache;  // outlives every static destructor that may still call in
    return *cache;
}

thread_local bool inTransaction = false;

std::unique_lock<std::mutex> EnterTransaction() {
    if (inTransaction) throw std::logic_error("a registry transaction inside another");
    return std::unique_lock<std::mutex>(TheCache().mutex);
}

}  // namespace

RegistryTransaction::Lock::~Lock() {
    if (fd >= 0) ::flock(fd, LOCK_UN);
    inTransaction = false;
}

RegistryTransaction::RegistryTransaction(const fs::path& root) : inProcess_(EnterTransaction()) {
    inTransaction = true;
    lock_.fd = -1;
    Cache& cache = TheCache();
    if (!fs::is_regular_file(root / "registry"))
        throw std::runtime_error("no registry in " + root.string());
    fs::path lockPath = root / "registry.lock";
    struct stat held {}, named {};
    // A machine made again where one was removed has a lock file of its own.
    const bool sameLock = cache.lock.get() >= 0 && ::fstat(cache.lock.get(), &held) == 0 &&
                          ::stat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                          held.st_ino == named.st_ino;
    if (cache.root != root || !sameLock) {
        cache.Drop();
        cache.lock.Reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        cache.root = root;
        if (cache.lock.get() < 0) {
            cache.root.clear();
            throw std::runtime_error("cannot lock the registry in " + root.string());
        }
    }
    while (::flock(cache.lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) throw std::runtime_error("cannot lock the registry in " + root.string());
    }
    lock_.fd = cache.lock.get();
    cache.Refresh();
}

RegistryTransaction::~RegistryTransaction() {
    Cache& cache = TheCache();
    // A change that was not committed must not outlive the transaction.
    if (!committed_ && cache.registry && cache.registry->Changed()) cache.Drop();
}

Registry& RegistryTransaction::registry() { return *TheCache().registry; }

void RegistryTransaction::Commit() {
    Cache& cache = TheCache();
    Registry& registry = *cache.registry;
    committed_ = true;
    if (!registry.Changed()) return;
    try {
        std::string text = registry.Changes() + "commit " + std::to_string(registry.NextId()) + "\n";
        off_t journal = cache.validEnd - cache.snapshotEnd + static_cast<off_t>(text.size());
        if (cache.torn || journal > cache.snapshotEnd) {
            cache.Compact();
        } else {
            cache.Append(text);
        }
        registry.MarkSaved();
    } catch (...) {
        cache.Drop();
        throw;
    }
}

void RegistryTransaction::Create(const fs::path& root, const Registry& registry) {
    ReplaceStore(root / "registry", registry.Serialize());
}

uint32_t WithRegistry(const std::function<uint32_t(Registry&, bool&)>& operation) {
    std::optional<fs::path> root = MachineRoot();
    if (!root) return ERROR_PATH_NOT_FOUND;
    try {
        RegistryTransaction transaction(*root);
        bool commit = false;
        uint32_t status = operation(transaction.registry(), commit);
        if (commit) transaction.Commit();
        return status;
    } catch (const StoreCorrupt& e) {
        ReportCorrupt(e);
        return kErrorRegistryCorrupt;
    } catch (const std::exception&) {
        return kErrorRegistryCorrupt;
    }
}

}  // namespace emu
