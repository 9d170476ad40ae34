#include "upgrade.h"

#include "../main/guards.h"
#include "../main/settings.h"

#define PAUSE_MS 5000
#define MAX_PAUSES 60

// A program has ended once its handle is signalled, whatever its exit code
// (259 included); when the handle can't be waited on, its exit code decides.
static int StillRunning(HANDLE hProcess) {
    if (WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0) return 0;
    DWORD dwExitCode = 0;
    return GetExitCodeProcess(hProcess, &dwExitCode) && dwExitCode == STILL_ACTIVE;
}

// Pauses up to five seconds, less when the program ends sooner.
static void PauseWhileRunning(HANDLE hProcess) {
    if (WaitForSingleObject(hProcess, PAUSE_MS) == WAIT_FAILED) Sleep(PAUSE_MS);
}

int RunAndWait(char* szCommandLine) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    startup.lpReserved = NULL;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.cbReserved2 = 0;
    startup.lpReserved2 = NULL;

    PROCESS_INFORMATION process;
    fflush(stdout);
    if (!CreateProcessA(NULL, szCommandLine, NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL, NULL,
                        &startup, &process))
        return 0;
    UniqueProcessHandle hProcess(process.hProcess);
    UniqueProcessHandle hThread(process.hThread);

    if (bMessages) printf("\n");
    for (int nPauses = 0; nPauses < MAX_PAUSES && StillRunning(hProcess.get()); ++nPauses) {
        if (bMessages) {
            printf(".");
            fflush(stdout);
        }
        PauseWhileRunning(hProcess.get());
    }
    if (bMessages) printf("\n");
    // The program's exit code is not read, on purpose: the sequence goes on
    // whatever a program gave, and the exit code that scripts read does not
    // depend on it.
    return 1;
}
