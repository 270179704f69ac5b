/* Serial-number lookup of the USB tree enumerator: from a device instance id to the serial string that the device
   (or the composite device above it) reported while the tree was walked. */
#include "usbenum_internal.h"

#include <string.h>

static PCHAR EmptyString(void) {
    return (PCHAR)EnumAlloc(1);
}

BOOL isChildDevice(PCSTR candidate, PCSTR ancestor) {
    DEVINST parent = 0;
    DEVINST child = 0;
    CONFIGRET cr = CR_SUCCESS;
    CHAR childId[MAX_DEVICE_ID_LEN + 1];

    if (!candidate || !*candidate || !ancestor || !*ancestor)
        return FALSE;
    if (_stricmp(candidate, ancestor) == 0)
        return TRUE;
    cr = CM_Locate_DevNodeA(&parent, (DEVINSTID_A)ancestor, CM_LOCATE_DEVNODE_NORMAL);
    if (cr != CR_SUCCESS) {
        ENUM_LOG("CM_Locate_DevNode failed for %s (Error: 0x%x)", ancestor, (unsigned)cr);
        return FALSE;
    }
    cr = CM_Get_Child(&child, parent, 0);
    if (cr != CR_SUCCESS) {
        if (cr != CR_NO_SUCH_DEVNODE)
            ENUM_LOG("No child devices found (Error: 0x%x)", (unsigned)cr);
        return FALSE;
    }
    for (;;) {
        /* One byte more than the longest id, so an id that fills the buffer still ends. */
        memset(childId, 0, sizeof(childId));
        if (CM_Get_Device_IDA(child, childId, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS &&
            (_stricmp(childId, candidate) == 0 || isChildDevice(candidate, childId)))
            return TRUE;
        if (CM_Get_Sibling(&child, child, 0) != CR_SUCCESS)
            return FALSE;
    }
}

PCHAR GetSerialNumberByInstanceId(PCSTR InstanceId) {
    PDeviceListNode node = NULL;
    PDeviceRecord record = NULL;
    PStringDescriptorEntry entry = NULL;
    PCHAR serial = NULL;
    UCHAR serialIndex = 0;

    if (!InstanceId || !*InstanceId)
        return EmptyString();
    for (node = usbDeviceList.ListHead.Next; node && node != &usbDeviceList.ListHead; node = node->Next) {
        record = node->Device;
        if (!record || !record->Properties || !record->Properties->DeviceId)
            continue;
        if (_stricmp(record->Properties->DeviceId, InstanceId) != 0 &&
            !isChildDevice(InstanceId, record->Properties->DeviceId))
            continue;
        if (!record->ConnectionInfo || record->ConnectionInfo->DeviceDescriptor.iSerialNumber == 0)
            continue;
        serialIndex = record->ConnectionInfo->DeviceDescriptor.iSerialNumber;
        for (entry = record->StringDescs; entry; entry = entry->Next) {
            if (entry->DescriptorIndex == serialIndex)
                break;
        }
        if (!entry)
            continue;
        serial = WideToAnsi((const WCHAR *)((PBYTE)entry->StringDescriptor + 2), entry->StringDescriptor[0].bLength - 2u);
        return serial ? serial : EmptyString();
    }
    return EmptyString();
}
