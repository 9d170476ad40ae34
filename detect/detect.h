// Adapter detection: is the adapter reachable through its HID interface, and
// if not, does the system at least list it among its devices?
#ifndef VTN2_DETECT_H
#define VTN2_DETECT_H

// 1 when the force code is set or an interface with the adapter's IDs opens.
int ProbeAdapterInterface(void);

// 1 when the hardware IDs of the present devices show the adapter (and not
// its sibling product) or its PCI variant; fills fDeviceSeen.
int FindExistingDevice(void);

#endif
