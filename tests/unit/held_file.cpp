#include "held_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/platform.h"

HeldFile::HeldFile(const std::filesystem::path& path, Lock lock) {
    Start(path, [&] {
        int fd = open(path.c_str(), O_RDWR);
        if (fd >= 0 && lock == ByteRange) {
            struct flock range = {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            range.l_start = 0;
            range.l_len = 1;
            return fcntl(fd, F_SETLK, &range) == 0;
        }
        return fd >= 0 && flock(fd, lock == WholeShared ? LOCK_SH : LOCK_EX) == 0;
    });
}

HeldFile::HeldFile(const std::filesystem::path& path, unsigned long access, unsigned long share) {
    Start(path, [&] {
        return CreateFileA(path.c_str(), static_cast<DWORD>(access), static_cast<DWORD>(share),
                           nullptr, OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE;
    });
}

// The child takes hold, says whether it could, and waits to be killed.
template <class Hold>
void HeldFile::Start(const std::filesystem::path& path, Hold hold) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    child_ = fork();
    if (child_ < 0) throw std::runtime_error("fork");
    if (child_ == 0) {
        close(ready[0]);
        char answer = hold() ? '1' : '0';
        if (write(ready[1], &answer, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = '0';
    ssize_t got = read(ready[0], &answer, 1);
    close(ready[0]);
    if (got != 1 || answer != '1') {
        this->~HeldFile();
        throw std::runtime_error("could not hold " + path.string());
    }
}

HeldFile::~HeldFile() {
    if (child_ <= 0) return;
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
    child_ = -1;
}
