// Driver upgrade: removal of the old software and placement of the new.
#ifndef VTN2_UPGRADE_H
#define VTN2_UPGRADE_H

#include "../platform/platform.h"

// Deletes the old restart service's keys in at most two passes; 1 when at
// least one was deleted.
int PurgeServiceKeys(void);

// Replaces the DACL of parentKey\szName with full control for the
// Administrators group alone; 0 on success, 1 on any failure.
int GrantAdminsFullControl(HKEY parentKey, const char* szName);

// Starts a command line hidden in a console of its own and waits for it to
// end, up to five minutes; nonzero when it was started.
int RunAndWait(char* szCommandLine);

// 0 done, 1 done but a restart is needed, 2 failed.
int UpgradeDrivers(void);

#endif
