#include "detect.h"

#include "../main/guards.h"
#include "../main/settings.h"

#define ADAPTER_VENDOR_ID 0x2F1D
#define ADAPTER_PRODUCT_ID 0x7C01
#define ADAPTER_PRODUCT_ID_ALT 0x7C03

// Reads the IDs of one open interface; 1 when they are the adapter's.
static int IsAdapter(HANDLE hDevice) {
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (!HidD_GetAttributes(hDevice, &attributes)) return 0;
    return attributes.VendorID == ADAPTER_VENDOR_ID &&
           (attributes.ProductID == ADAPTER_PRODUCT_ID ||
            attributes.ProductID == ADAPTER_PRODUCT_ID_ALT);
}

int ProbeAdapterInterface(void) {
    if (chForceCode == 'U') return 1;

    GUID guidHid;
    HidD_GetHidGuid(&guidHid);
    UniqueDeviceSet hDevInfo(
        SetupDiGetClassDevsA(&guidHid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));

    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    int nResult = 0;
    DWORD dwRequired = 0;
    for (DWORD dwIndex = 0; !nResult; ++dwIndex) {
        if (!SetupDiEnumDeviceInterfaces(hDevInfo.get(), NULL, &guidHid, dwIndex, &interfaceData))
            break;

        SetupDiGetDeviceInterfaceDetailA(hDevInfo.get(), &interfaceData, NULL, 0, &dwRequired,
                                         NULL);
        // A size smaller than the record itself leaves no room for a path.
        if (dwRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        UniqueCBlock detail(Vtn2Malloc(dwRequired));
        if (!detail.valid()) continue;
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail =
            static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.get());
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD dwUnused = 0;
        if (!SetupDiGetDeviceInterfaceDetailA(hDevInfo.get(), &interfaceData, pDetail, dwRequired,
                                              &dwUnused, NULL))
            continue;

        UniqueDeviceHandle hDevice(CreateFileA(pDetail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                               OPEN_EXISTING, 0, NULL));
        if (!hDevice.valid()) continue;
        if (IsAdapter(hDevice.get())) nResult = 1;
    }
    return nResult;
}
