#include "settings.h"

int bUnattended = 0;
int bMessages = 1;
WORD wDebug = 0;
char chForceCode = '\0';
int fDeviceSeen[4] = {0, 0, 0, 0};
char szSourcePath[256] = "";
const char* const* pMessages = nullptr;

// Slots that nothing reads stay empty, on purpose: every text keeps the number
// it is known by, and a catalogue put in through pMessages has the same 93
// slots. The texts are kept byte for byte, "\n\r" endings and blanks before
// line ends included: scripts compare the console output byte for byte.
const char* const szCatalogue[] = {
    /* 0 */ "n",
    /* 1 */ "y",
    /* 2 */ "cancel",
    "", "", "", "", "",
    /* 8 */ "VLQ Veltrane 2 software installation\n\r",
    "", "", "", "",
    /* 13 */ "Installation complete\n\r",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 28 */ "\nInstallation failed\n",
    "", "", "",
    /* 32 */ "Reboot the machine for the device driver to start. \n\r",
    /* 33 */ "Press any key to exit.",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 52 */ "%s is older than %s.\n",
    "",
    /* 54 */ "Do you want to copy anyway? (y/n):\n",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 70 */ "The Veltrane II device was not found.\nCheck the USB cable connection of the VTN II.\n",
    "",
    /* 72 */ "The Veltrane II (VTN II) device was found, but the VTN II is\n"
             "not configured for Windows, or the Windows USB drivers are not correctly \n"
             "installed for the VTN II device, or the VTN II is not properly connected to\n"
             "USB.  First check the USB connection of the VTN II. Then in BIOS \n"
             "Configuration/Setup use the Advanced Setup menu to check the VTN II \n"
             "Configuration.  Then check Device Manager in Windows.  If a HID_SYS device is\n"
             "shown, select Update Driver for it. \n"
             "\n"
             "The VLQ VTN II software will now be installed, but will not work properly\n"
             "until the VTN II connection and configuration are corrected.\n"
             "\n",
    "", "", "", "", "", "", "", "",
    /* 81 */ "USB\\Vid_2f1d&Pid_7c01",
    /* 82 */ "USB\\Vid_2f1d&Pid_7c03",
    /* 83 */ "USB\\Vid_2f1d&Pid_7c04",
    /* 84 */ "PCI\\VEN_1002&DEV_5159&SUBSYS_03D71E6B",
    /* 85 */ "\\drivers\\vtn2",
    /* 86 */ "\\drivers\\vtn2\\",
    /* 87 */ "\\..\\sysWOW64\\",
    /* 88 */ "SETUP.EXE",
    /* 89 */ "VLQSPW.DLL",
    /* 90 */ "VLQSPW32.DLL",
    /* 91 */ "VLQSPREM.EXE",
    /* 92 */ "VLQSPSVC.EXE",
};

// The entries printed this way hold no conversion, so printing them as text
// gives exactly the bytes printf would.
void PrintMessage(int nEntry) { fputs(pMessages[nEntry], stdout); }

void WaitForKey(void) {
    DWORD dwMode = 0;
    fflush(stdout);
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &dwMode)) _getch();
}

void DebugPause(const char* szTrace, const char* szPauseLine) {
    if (!wDebug) return;
    printf("%s%s", szTrace, szPauseLine);
    WaitForKey();
}
