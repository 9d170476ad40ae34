// Temporary files of the emulated machine. Each is named by its owner, so
// that those of a process killed before it could remove them (mid-copy, or
// while putting a store in place) are swept away when the machine is next
// opened.
//
//   ROOT/<store>.tmp.<pid>            a store being replaced (registry, attributes, ...)
//   ROOT/tmp/copy.<owner>.<unique>    a copy being made, renamed onto its destination
//   ROOT/tmp/away.<owner>.<unique>    a note naming DIR/.vtn2-copy.<owner>.<unique>: a copy
//                                     made beside a destination on another file system
//
// <owner> is "PID.START", START being the process's start time, so that a
// later process given the same pid is not taken for the owner.
#ifndef VTN2_EMU_LEFTOVERS_H
#define VTN2_EMU_LEFTOVERS_H

#include <filesystem>

namespace emu {

// Removes the temporary files in ROOT (and those its notes name) whose owner
// no longer runs; everything else stays.
void SweepLeftovers(const std::filesystem::path& root);
// The same, once per process and machine.
void SweepLeftoversOnce(const std::filesystem::path& root);

// A file being made, to be renamed onto destination: in ROOT/tmp when a
// rename can take it from there, else beside the destination. It is removed
// when destroyed, unless Placed() says that the rename put it in place.
class TempFile {
public:
    // On failure fd() is negative and errno says why.
    TempFile(const std::filesystem::path& root, const std::filesystem::path& destination);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::filesystem::path& path() const { return path_; }
    // Closes it now and says whether the last writes got out.
    bool Close();
    void Placed();

private:
    std::filesystem::path path_;
    std::filesystem::path note_;
    int fd_ = -1;
};

}  // namespace emu

#endif
