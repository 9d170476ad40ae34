// The Installer's run from its command line to its exit code.
#ifndef VTN2_INSTALLER_H
#define VTN2_INSTALLER_H

// Exit codes.
#define EXIT_DONE 0
#define EXIT_RESTART 1
#define EXIT_FAILED 2
#define EXIT_NOT_FOUND 8
#define EXIT_NOT_REACHABLE 16

// Everything main does; the arguments are upper-cased in place.
int RunInstaller(int argc, char* argv[]);

#endif
