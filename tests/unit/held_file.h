// A file held in use by another process, as a running program holds its
// files: a whole-file lock (flock) or a byte-range lock (fcntl).
#ifndef VTN2_TEST_HELD_FILE_H
#define VTN2_TEST_HELD_FILE_H

#include <sys/types.h>

#include <filesystem>

class HeldFile {
public:
    enum Lock { WholeShared, WholeExclusive, ByteRange };
    HeldFile(const std::filesystem::path& path, Lock lock);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    pid_t child_ = -1;
};

#endif
