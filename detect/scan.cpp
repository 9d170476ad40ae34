#include "detect.h"

#include "../main/guards.h"
#include "../main/settings.h"

static const char* const szHitTraces[4] = {
    "FindExistingDevice - VTN2 USB ID found !\n",
    "FindExistingDevice - alt VTN2 USB ID found !\n",
    "FindExistingDevice - ZP USB ID found !\n",
    "FindExistingDevice - Kestil PCI ID found !\n",
};

// Tests one hardware ID against the four IDs of the catalogue.
static void MatchId(const char* szId) {
    if (wDebug) printf("FindExistingDevice - Device ID %s was found \n", szId);
    for (int n = 0; n < 4; ++n) {
        if (strstr(szId, szCatalogue[MSG_ID_VTN2 + n])) {
            fDeviceSeen[n] = 1;
            DebugPause(szHitTraces[n], PAUSE_LINE_SCAN);
        }
    }
}

int FindExistingDevice(void) {
    UniqueDeviceSet hDevInfo(
        SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!hDevInfo.valid()) {
        DebugPause("FindExistingDevice - SetupDiGetClassDevs failed \n", PAUSE_LINE_SCAN);
        return 0;
    }

    // One buffer serves every device. It holds one byte more than the reads
    // are told, so that an ID list whose last string lacks its NUL still ends
    // within the data the read reported.
    UniqueLocalBlock buffer;
    DWORD dwBufferSize = 0;
    SP_DEVINFO_DATA deviceData;
    deviceData.cbSize = sizeof(SP_DEVINFO_DATA);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(hDevInfo.get(), dwIndex, &deviceData);
         ++dwIndex) {
        DWORD dwType = 0;
        DWORD dwSize = 0;
        int bHasIds = 1;
        while (!SetupDiGetDeviceRegistryPropertyA(hDevInfo.get(), &deviceData, SPDRP_HARDWAREID,
                                                  &dwType, static_cast<PBYTE>(buffer.get()),
                                                  dwBufferSize, &dwSize)) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_INVALID_DATA) {
                bHasIds = 0;
                break;
            }
            if (dwError == ERROR_INSUFFICIENT_BUFFER) {
                buffer.reset();
                dwBufferSize = 0;
                buffer.reset(LocalAlloc(LPTR, static_cast<SIZE_T>(dwSize) + 1));
                if (buffer.valid()) {
                    dwBufferSize = dwSize;
                    continue;
                }
            }
            DebugPause("FindExistingDevice - Unknown failure occurred, returning failure\n",
                       PAUSE_LINE_SCAN);
            return 0;
        }
        if (!bHasIds || !buffer.valid()) continue;

        char* pIds = static_cast<char*>(buffer.get());
        if (dwSize > dwBufferSize) dwSize = dwBufferSize;
        pIds[dwSize] = '\0';
        for (char* pId = pIds; pId < pIds + dwSize && *pId; pId += lstrlenA(pId) + 1) MatchId(pId);
    }

    if (fDeviceSeen[3]) return 1;
    return (fDeviceSeen[0] || fDeviceSeen[1]) && !fDeviceSeen[2];
}
