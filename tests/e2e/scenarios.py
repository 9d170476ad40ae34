"""The Installer's scenarios, run alike on the emulated machine and under Wine.

Each row: a name, the .reg fixtures imported first, the command-line switches,
what standard input holds, the exit code and standard output expected ("\\n"
as the program writes it; under Wine the C runtime's text mode turns each
into "\\r\\n"), and, for a row that can run on one platform only, why.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
# The distribution and the old software, as the demo's machine has them too;
# the tests take them from here.
from machine_helpers import (DIST_FILES, DIST_TIME, OLD_SOFTWARE, OLD_TIME,  # noqa: E402,F401
                             SYS, WOW64)


BANNER = "VLQ Veltrane 2 software installation\n\r"
COMPLETE = "Installation complete\n\r"
FAILED = "\nInstallation failed\n"
NOT_FOUND = ("The Veltrane II device was not found.\n"
             "Check the USB cable connection of the VTN II.\n")
NOT_CONFIGURED = (
    "The Veltrane II (VTN II) device was found, but the VTN II is\n"
    "not configured for Windows, or the Windows USB drivers are not correctly \n"
    "installed for the VTN II device, or the VTN II is not properly connected to\n"
    "USB.  First check the USB connection of the VTN II. Then in BIOS \n"
    "Configuration/Setup use the Advanced Setup menu to check the VTN II \n"
    "Configuration.  Then check Device Manager in Windows.  If a HID_SYS device is\n"
    "shown, select Update Driver for it. \n"
    "\n"
    "The VLQ VTN II software will now be installed, but will not work properly\n"
    "until the VTN II connection and configuration are corrected.\n"
    "\n")
PRESS_ANY_KEY = "Press any key to exit."
FORCING = "Skipping hardware detection - forcing Kestil.\n"

REBOOT = "Reboot the machine for the device driver to start. \n\r"
QUESTION = "Do you want to copy anyway? (y/n):\n"

HID_ONLY = "a HID interface with the adapter's IDs needs a driver, which a Wine prefix lacks"
WINE_DEVICES = "Wine lists devices of its own, and /D traces every one of them"
WIDE_EXIT = "exit codes above 255 exist only on Windows"

NEW_TIME = 1750000000

STAGING = SYS + "drivers\\vtn2\\"

# The old software on the machine: its programs and its service keys.
OLD_FILES = {path: (text, OLD_TIME) for path, text in OLD_SOFTWARE.items()}
OLD_KEYS = ["old-software.reg"]

# Where a whole installation puts the distribution.
INSTALLED = {
    **{STAGING + name: "dist:" + name for name in ["SETUP.EXE"] + list(DIST_FILES)},
    SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL",
    SYS + "VLQSPREM.EXE": "dist:VLQSPREM.EXE",
    SYS + "VLQSPSVC.EXE": "dist:VLQSPSVC.EXE",
    WOW64 + "VLQSPW.DLL": "dist:VLQSPW32.DLL",
}
ALL_PROGRAMS = ["VLQWDZSV.EXE -remove", "VLQSPSVC.EXE -remove", "VLQSPSVC.EXE -install -VTN2"]
OLDER_WOW64 = ("\n" + STAGING + "VLQSPW32.DLL is older than "
               + SYS + "..\\sysWOW64\\VLQSPW.DLL.\n" + QUESTION)


def copy_traces(source_dir, dest_dir, names, dest_names=None):
    out = ""
    for name, dest_name in zip(names, dest_names or names):
        out += "CopyFile source = >%s%s<\nCopyFile dest = >%s%s<\n" % (
            source_dir, name, dest_dir, dest_name)
    return out


def buffer_traces(dest_dir):
    return "lpBuffer = >%s<\nlpBuffr2 = >%s<\n" % (STAGING, dest_dir)


STAGING_TRACES = copy_traces("{dist}\\", STAGING, ["SETUP.EXE"] + list(DIST_FILES))
DEBUG_INSTALL = (
    FORCING + BANNER + STAGING_TRACES
    + "Found USB SP.\nPress ENTER to continue\n"
    + buffer_traces(SYS) + copy_traces(STAGING, SYS, ["VLQSPW.DLL", "VLQSPREM.EXE", "VLQSPSVC.EXE"])
    + buffer_traces(SYS + "..\\sysWOW64\\")
    + copy_traces(STAGING, SYS + "..\\sysWOW64\\", ["VLQSPW32.DLL"], ["VLQSPW.DLL"])
    + "{wait}" + COMPLETE)
MOVE_SERVICE = ["\\??\\" + STAGING + "VLQSPSVC.EXE", "!\\??\\" + SYS + "VLQSPSVC.EXE"]


def row(name, fixtures, args, exit_code, stdout, stdin=b"", only=None, why=None, dist=False,
        missing=(), system=None, hold=None, files=None, keys=None, moves=None, log=None,
        after_restart=None, timeout=120, reader_gone=False, from_staging=False, dist_length=0,
        running=None, folder="dist", started_as=None):
    """One scenario. Files are given by their Windows paths; an expected file
    is "dist:NAME" (the distribution's file), "standin:TAG", "text:..." or None
    (absent). "{dist}" in a held file or a move is the distribution's folder.
    reader_gone: standard output is a pipe whose reader has gone.
    from_staging: the distribution lies in the staging folder, and SETUP.EXE
    is started there by its bare name, or by the Windows path started_as
    names. dist_length: the distribution's folder has a Windows path of that
    many characters. running: a command line of the machine that runs as a
    program, from before the Installer to its end.
    folder names the distribution's folder."""
    return dict(name=name, fixtures=fixtures, args=args, exit_code=exit_code, stdout=stdout,
                stdin=stdin, only=only, why=why, dist=dist, missing=missing,
                system=system or {}, hold=hold, files=files or {}, keys=keys, moves=moves,
                log=log, after_restart=after_restart, timeout=timeout, reader_gone=reader_gone,
                from_staging=from_staging, dist_length=dist_length, running=running,
                folder=folder, started_as=started_as)


SCENARIOS = [
    row("no adapter, detect only", [], ["/H"], 8, BANNER + NOT_FOUND + FAILED),
    row("no adapter, attended, input not a console", [], [], 8,
        BANNER + NOT_FOUND + FAILED + PRESS_ANY_KEY),
    row("no adapter, no messages", [], ["/N"], 8, ""),
    row("adapter seen but not reachable, detect only", ["adapter-usb.reg"], ["/H"], 16,
        BANNER + NOT_CONFIGURED + COMPLETE),
    row("adapter beside its sibling product", ["adapter-usb.reg", "sibling-usb.reg"], ["/H"], 8,
        BANNER + NOT_FOUND + FAILED),
    row("PCI variant", ["kestil-pci.reg"], ["-h"], 16, BANNER + NOT_CONFIGURED + COMPLETE),
    row("PCI variant beside the sibling", ["kestil-pci.reg", "sibling-usb.reg"], ["/H"], 16,
        BANNER + NOT_CONFIGURED + COMPLETE),
    row("forced, detect only", [], ["-FU", "/H"], 0, FORCING + BANNER + COMPLETE),
    row("invalid force code", ["adapter-usb.reg"], ["-FX", "/H"], 0, "Invalid force code!\n"),
    row("adapter reachable, detect only", ["adapter-hid.reg"], ["/H"], 0, BANNER + COMPLETE,
        only="native", why=HID_ONLY),
    row("PCI variant with debug traces", ["kestil-pci.reg"], ["/H", "/D"], 16,
        BANNER
        + "FindExistingDevice - Device ID PCI\\VEN_1002&DEV_5159&SUBSYS_03D71E6B&REV_00 was found \n"
        + "FindExistingDevice - Kestil PCI ID found !\nPress ENTER to continue \n"
        + "FindExistingDevice - Device ID PCI\\VEN_1002&DEV_5159&SUBSYS_03D71E6B was found \n"
        + "FindExistingDevice - Kestil PCI ID found !\nPress ENTER to continue \n"
        + "FindExistingDevice - Device ID PCI\\VEN_1002&DEV_5159 was found \n"
        + "Found Kestil but NO DRIVER.\nPress ENTER to continue\n"
        + NOT_CONFIGURED + COMPLETE,
        only="native", why=WINE_DEVICES),

    row("forced install on a clean machine", [], ["-FU", "/X"], 0,
        FORCING + BANNER + "{wait}" + COMPLETE, dist=True, files=INSTALLED,
        keys=["vlqspsvc"], moves=[], log=["VLQSPSVC.EXE -install -VTN2"]),
    row("forced install, no messages", [], ["/N", "-FU"], 0, "", dist=True, files=INSTALLED,
        log=["VLQSPSVC.EXE -install -VTN2"]),
    row("upgrade over the old software", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}{wait}{wait}" + COMPLETE + REBOOT, dist=True,
        system=OLD_FILES, files=INSTALLED, keys=["vlqspsvc"], moves=[], log=ALL_PROGRAMS),
    row("upgrade with the adapter plugged in", ["adapter-hid.reg"] + OLD_KEYS, ["/X"], 1,
        BANNER + "{wait}{wait}{wait}" + COMPLETE + REBOOT, dist=True, system=OLD_FILES,
        files=INSTALLED, keys=["vlqspsvc"], moves=[], log=ALL_PROGRAMS,
        only="native", why=HID_ONLY),
    row("upgrade seen but not reachable", ["adapter-usb.reg"] + OLD_KEYS, ["/X"], 16,
        BANNER + "{wait}{wait}{wait}" + NOT_CONFIGURED + COMPLETE, dist=True,
        system=OLD_FILES, files=INSTALLED, keys=["vlqspsvc"], log=ALL_PROGRAMS),
] + [
    row("older installed file answered " + answer, OLD_KEYS, ["-FU"], 1,
        FORCING + BANNER + "{wait}{wait}" + OLDER_WOW64 + "{wait}" + COMPLETE + REBOOT
        + PRESS_ANY_KEY,
        stdin=answer.encode() + b"\n", dist=True,
        system={**OLD_FILES, WOW64 + "VLQSPW.DLL": ("newer library 32\n", NEW_TIME)},
        files={WOW64 + "VLQSPW.DLL": kept}, log=ALL_PROGRAMS)
    for answer, kept in [("n", "text:newer library 32\n"), ("y", "dist:VLQSPW32.DLL"),
                         ("cancel", "dist:VLQSPW32.DLL")]
] + [
    row("staged file newer than the distribution's", [], ["-FU"], 0,
        FORCING + BANNER + "\n{dist}\\VLQSPW.DLL is older than " + STAGING + "VLQSPW.DLL.\n"
        + QUESTION + "{wait}" + COMPLETE + PRESS_ANY_KEY,
        stdin=b"  yes\n", dist=True,
        system={STAGING + "VLQSPW.DLL": ("staged earlier\n", NEW_TIME)},
        files={STAGING + "VLQSPW.DLL": "dist:VLQSPW.DLL", SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL"}),
    row("running service program keeps its file in use", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}" + COMPLETE + REBOOT, dist=True, system=OLD_FILES,
        hold=SYS + "VLQSPSVC.EXE",
        files={SYS + "VLQSPSVC.EXE": "standin:old", STAGING + "VLQSPSVC.EXE": "dist:VLQSPSVC.EXE",
               SYS + "VLQSPREM.EXE": "dist:VLQSPREM.EXE"},
        keys=["vlqspsvc"], moves=MOVE_SERVICE + MOVE_SERVICE, log=["VLQWDZSV.EXE -remove"],
        after_restart={SYS + "VLQSPSVC.EXE": "dist:VLQSPSVC.EXE", STAGING + "VLQSPSVC.EXE": None}),
    # The same, the removal program exiting with 1: its exit code is not read,
    # and the programs are still restored after it (a move each).
    row("removal program's exit code is not looked at", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}" + COMPLETE + REBOOT, dist=True,
        system={**OLD_FILES, SYS + "standin.cfg": ("exit 1\n", OLD_TIME)},
        hold=SYS + "VLQSPSVC.EXE", moves=MOVE_SERVICE + MOVE_SERVICE, log=["VLQWDZSV.EXE -remove"]),
    row("forced install with debug traces", [], ["-FU", "/X", "/D"], 0, DEBUG_INSTALL, dist=True,
        files=INSTALLED),
    row("old restart service's removal program missing", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}{wait}" + COMPLETE + REBOOT, dist=True,
        system={k: v for k, v in OLD_FILES.items() if not k.endswith("vlqwdzsv.exe")},
        files=INSTALLED, keys=["vlqspsvc"],
        log=["VLQSPSVC.EXE -remove", "VLQSPSVC.EXE -install -VTN2"]),
    row("distribution file missing", [], ["-FU", "/X"], 2,
        FORCING + BANNER + "{wait}" + FAILED, dist=True, missing=("VLQSPW32.DLL",),
        files={STAGING + "VLQSPW32.DLL": None, WOW64 + "VLQSPW.DLL": None,
               SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL"}),
    # Staging's result is not looked at: a file it could not copy counts only
    # in the copies from the staging folder, which the file an earlier run of
    # the release staged serves.
    row("distribution file missing, staged by an earlier run", [], ["-FU", "/X"], 0,
        FORCING + BANNER + "{wait}" + COMPLETE, dist=True, missing=("VLQSPW32.DLL",),
        system={STAGING + "VLQSPW32.DLL": ("staged earlier\n", DIST_TIME)},
        files={WOW64 + "VLQSPW.DLL": "text:staged earlier\n"}),
    row("removal programs that exit with 259 are not waited for", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}{wait}{wait}" + COMPLETE + REBOOT, dist=True,
        system={**OLD_FILES, SYS + "standin.cfg": ("exit 259\n", OLD_TIME)}, log=ALL_PROGRAMS,
        timeout=100, only="wine", why=WIDE_EXIT),
    row("forced install with debug traces from a folder named 安装 ü", [], ["-FU", "/X", "/D"], 0,
        DEBUG_INSTALL, dist=True, files=INSTALLED, folder="安装 ü"),

    # Corners where the emulated machine must do what Windows does.
    row("standard output's reader gone before the end", [], ["-FU", "/X"], 0, "", dist=True,
        reader_gone=True, files=INSTALLED, log=["VLQSPSVC.EXE -install -VTN2"]),
    row("upgrade over the old software, a distribution file held", OLD_KEYS, ["-FU", "/X"], 2,
        FORCING + BANNER + "{wait}{wait}{wait}" + FAILED, dist=True, system=OLD_FILES,
        hold="{dist}\\VLQSPW.DLL",
        files={STAGING + "SETUP.EXE": "dist:SETUP.EXE", SYS + "VLQSPW.DLL": None}),
    row("invalid force code in an unattended command line", ["adapter-usb.reg"] + OLD_KEYS,
        ["/N", "-FX"], 0, "", dist=True, system=OLD_FILES,
        files={STAGING + "SETUP.EXE": None, SYS + "VLQSPSVC.EXE": "standin:old"}, log=[]),
    row("distribution file held without sharing", [], ["-FU", "/X"], 2,
        FORCING + BANNER + "{wait}" + FAILED, dist=True, hold="{dist}\\VLQSPW.DLL",
        files={STAGING + "VLQSPW.DLL": None, SYS + "VLQSPW.DLL": None},
        moves=["\\??\\{dist}\\VLQSPW.DLL", "!\\??\\" + STAGING + "VLQSPW.DLL"]),
    # 247 characters: the Installer's source paths (with a doubled backslash)
    # are 258 and 259 for SETUP.EXE and VLQSPW.DLL, 261 for the others; Wine
    # refuses from 261 on, Windows from 260.
    row("distribution folder too deep for the 8-bit file calls", [], ["-FU", "/X"], 2,
        FORCING + BANNER + FAILED, dist=True, dist_length=247,
        files={STAGING + "SETUP.EXE": "dist:SETUP.EXE", STAGING + "VLQSPW.DLL": "dist:VLQSPW.DLL",
               SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL", STAGING + "VLQSPW32.DLL": None,
               STAGING + "VLQSPSVC.EXE": None, SYS + "VLQSPSVC.EXE": None}, log=[]),
    row("32-bit library in use is replaced at restart under its folded name", [], ["-FU", "/X"],
        1, FORCING + BANNER + "{wait}" + COMPLETE + REBOOT, dist=True,
        system={WOW64 + "VLQSPW.DLL": ("old library 32\n", OLD_TIME)}, hold=WOW64 + "VLQSPW.DLL",
        moves=["\\??\\" + STAGING + "VLQSPW32.DLL", "!\\??\\C:\\windows\\sysWOW64\\VLQSPW.DLL"],
        after_restart={WOW64 + "VLQSPW.DLL": "dist:VLQSPW32.DLL"}),
] + [
    # An installed file held open the ways a server's programs hold one
    # ("hold RIGHTS/SHARED PATH", tools/standin): what sharing allows is
    # copied at once, the rest left for the restart.
    row("installed library held by " + holder, [], ["-FU", "/X"], code,
        FORCING + BANNER + "{wait}" + COMPLETE + (REBOOT if code else ""), dist=True,
        system={SYS + "VLQSPW.DLL": ("old library\n", OLD_TIME)},
        hold=rights + " " + SYS + "VLQSPW.DLL",
        files={SYS + "VLQSPW.DLL": "text:old library\n" if code else "dist:VLQSPW.DLL"},
        moves=["\\??\\" + STAGING + "VLQSPW.DLL", "!\\??\\" + SYS + "VLQSPW.DLL"] if code else [],
        after_restart={SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL"})
    for holder, rights, code in [("a scanner reading it, sharing all", "r/rwd", 0),
                                 ("a backup agent reading it, sharing reading", "r/r", 1),
                                 ("a program writing it, sharing reading", "w/r", 1)]
] + [
    row("old restart service named outside the ANSI code page", ["old-service-utf8-name.reg"],
        ["-FU", "/X"], 1, FORCING + BANNER + "{wait}" + COMPLETE + REBOOT, dist=True,
        keys=["vlqspmon-ж", "vlqspsvc"]),
    row("started by its bare name from the staging folder", [], ["-FU", "/X"], 0,
        FORCING + BANNER + "{wait}" + COMPLETE, dist=True, from_staging=True, files=INSTALLED,
        moves=[], log=["VLQSPSVC.EXE -install -VTN2"]),
    # Without a switch, its bare name is all its command line holds.
    row("started by its bare name from the staging folder, no switch", ["adapter-hid.reg"], [], 0,
        BANNER + "{wait}" + COMPLETE + PRESS_ANY_KEY, stdin=b"\n", dist=True, from_staging=True,
        files=INSTALLED, moves=[], log=["VLQSPSVC.EXE -install -VTN2"], only="native",
        why=HID_ONLY),
    row("started by its full path in capitals from the staging folder", [], ["-FU", "/X", "/D"],
        0, DEBUG_INSTALL.replace(STAGING_TRACES, ""), dist=True, from_staging=True,
        started_as=STAGING.upper() + "SETUP.EXE", files=INSTALLED, moves=[],
        log=["VLQSPSVC.EXE -install -VTN2"]),
    row("old service running as a program", OLD_KEYS, ["-FU", "/X"], 1,
        FORCING + BANNER + "{wait}{wait}{wait}" + COMPLETE + REBOOT, dist=True,
        system=OLD_FILES, running=SYS + "VLQSPSVC.EXE -service",
        files={SYS + "VLQSPSVC.EXE": "standin:old", STAGING + "VLQSPSVC.EXE": "dist:VLQSPSVC.EXE",
               SYS + "VLQSPREM.EXE": "dist:VLQSPREM.EXE", SYS + "VLQSPW.DLL": "dist:VLQSPW.DLL"},
        keys=["vlqspsvc"], moves=MOVE_SERVICE * 3, log=["VLQSPSVC.EXE -service"] + ALL_PROGRAMS,
        after_restart={SYS + "VLQSPSVC.EXE": "dist:VLQSPSVC.EXE"}),
    # 16 whatever the upgrade gave: the moves wait for a restart that the
    # exit code does not ask for, and the deployment recipes must give.
    row("old service running, adapter seen but not reachable", ["adapter-usb.reg"] + OLD_KEYS,
        ["/X"], 16, BANNER + "{wait}{wait}{wait}" + NOT_CONFIGURED + COMPLETE, dist=True,
        system=OLD_FILES, running=SYS + "VLQSPSVC.EXE -service",
        files={SYS + "VLQSPSVC.EXE": "standin:old", SYS + "VLQSPREM.EXE": "dist:VLQSPREM.EXE"},
        keys=["vlqspsvc"], moves=MOVE_SERVICE * 3, log=["VLQSPSVC.EXE -service"] + ALL_PROGRAMS),
]
