// Driver upgrade: removal of the old software and placement of the new.
#ifndef VTN2_UPGRADE_H
#define VTN2_UPGRADE_H

// 0 done, 1 done but a restart is needed, 2 failed.
int UpgradeDrivers(void);

#endif
