// Run settings and the message catalogue: what every part of the Installer
// reads, set once from the command line.
#ifndef VTN2_SETTINGS_H
#define VTN2_SETTINGS_H

#include "../platform/platform.h"

extern int bUnattended;
extern int bMessages;
extern WORD wDebug;
extern char chForceCode;
extern int fDeviceSeen[4];
extern char szSourcePath[256];
extern const char* const* pMessages;

// The built-in catalogue: 93 texts, by number.
#define CATALOGUE_SIZE 93
extern const char* const szCatalogue[CATALOGUE_SIZE];

// Catalogue entries the Installer reads.
enum {
    MSG_ANSWER_NO = 0,
    MSG_ANSWER_YES = 1,
    MSG_ANSWER_CANCEL = 2,
    MSG_BANNER = 8,
    MSG_COMPLETE = 13,
    MSG_FAILED = 28,
    MSG_REBOOT = 32,
    MSG_PRESS_ANY_KEY = 33,
    MSG_OLDER = 52,
    MSG_COPY_ANYWAY = 54,
    MSG_NOT_FOUND = 70,
    MSG_NOT_CONFIGURED = 72,
    MSG_ID_VTN2 = 81,
    MSG_ID_VTN2_ALT = 82,
    MSG_ID_ZP = 83,
    MSG_ID_KESTIL = 84,
    MSG_INSTALL_DIR = 85,
    MSG_STAGING_DIR = 86,
    MSG_WOW64_DIR = 87,
    MSG_FILE_SETUP = 88,
    MSG_FILE_LIBRARY = 89,
    MSG_FILE_LIBRARY32 = 90,
    MSG_FILE_REMOVER = 91,
    MSG_FILE_SERVICE = 92
};

// Prints a catalogue entry that takes no arguments, through pMessages.
void PrintMessage(int nEntry);

// The two line variants a debug pause prints before it waits; the scan's has
// its blank on purpose: scripts compare the trace byte for byte.
#define PAUSE_LINE "Press ENTER to continue\n"
#define PAUSE_LINE_SCAN "Press ENTER to continue \n"

// In a debug run: prints the trace and the pause line, and waits for one key press.
void DebugPause(const char* szTrace, const char* szPauseLine);

// Waits for one key press at the console; returns at once when standard
// input is not a console, so an unattended caller never hangs.
void WaitForKey(void);

#endif
