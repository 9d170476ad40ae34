// A process killed part-way: tests cut runs short through VTN2_KILL_AT.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

class Interrupted : public MachineTest {};

// VTN2_KILL_AT kills the named program as it enters its Nth call, and no other.
TEST_F(Interrupted, KillAtTheNthCallOfTheNamedProgramOnly) {
    struct Row {
        const char* name;
        const char* setting;
        int callsDone;
        bool killed;
    };
    const Row rows[] = {
        {"this program, third call", "call:3 unit_tests*", 2, true},
        {"this program, first call", "call:1 *", 0, true},
        {"another program", "call:3 setup*", 5, false},
        {"no blank", "call:3", 5, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int calls[2];
        ASSERT_EQ(pipe(calls), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(calls[0]);
            emu::ClearCallLog();
            setenv("VTN2_KILL_AT", row.setting, 1);
            char buffer[MAX_PATH];
            for (int i = 0; i < 5; ++i) {
                GetSystemDirectoryA(buffer, sizeof buffer);
                if (write(calls[1], "x", 1) != 1) _exit(2);
            }
            _exit(0);
        }
        close(calls[1]);
        char got[8];
        ssize_t done = 0;
        for (ssize_t n; (n = read(calls[0], got, sizeof got)) > 0;) done += n;
        close(calls[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(done, row.callsDone);
        EXPECT_EQ(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, row.killed);
    }
}

}  // namespace
