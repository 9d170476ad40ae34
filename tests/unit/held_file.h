// A file held in use by another process, as a running program holds its
// files: a whole-file lock (flock), a byte-range lock (fcntl), or a handle
// of the emulated machine with Windows' rights and share mode.
#ifndef VTN2_TEST_HELD_FILE_H
#define VTN2_TEST_HELD_FILE_H

#include <sys/types.h>

#include <filesystem>

class HeldFile {
public:
    enum Lock { WholeShared, WholeExclusive, ByteRange };
    HeldFile(const std::filesystem::path& path, Lock lock);
    HeldFile(const std::filesystem::path& path, unsigned long access, unsigned long share);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    template <class Hold>
    void Start(const std::filesystem::path& path, Hold hold);
    pid_t child_ = -1;
};

#endif
