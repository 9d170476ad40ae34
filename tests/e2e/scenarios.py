"""The Installer's scenarios, run alike on the emulated machine and under Wine.

Each row: a name, the .reg fixtures imported first, the command-line switches,
what standard input holds, the exit code and standard output expected ("\\n"
as the program writes it; under Wine the C runtime's text mode turns each
into "\\r\\n"), and, for a row that can run on one platform only, why.
"""

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

HID_ONLY = "a HID interface with the adapter's IDs needs a driver, which a Wine prefix lacks"
WINE_DEVICES = "Wine lists devices of its own, and /D traces every one of them"


def row(name, fixtures, args, exit_code, stdout, stdin=b"", only=None, why=None):
    return dict(name=name, fixtures=fixtures, args=args, exit_code=exit_code,
                stdout=stdout, stdin=stdin, only=only, why=why)


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
]
