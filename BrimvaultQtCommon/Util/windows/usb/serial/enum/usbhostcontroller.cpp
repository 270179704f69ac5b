/* Host-controller walk of the USB tree enumerator: one record per controller from its own IOCTLs and SetupAPI
   properties, then the walk of its root hub. */
#include "usbenum_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

PCHAR EnumReadCountedName(HANDLE device, DWORD ioctl, ULONG header, ULONG port, BOOL sendInput, const char *caller,
                          const char *lengthError) {
    BYTE probe[12];
    PBYTE full = NULL;
    PCHAR name = NULL;
    DWORD got = 0;
    ULONG actual = 0;
    DWORD probeSize = header + sizeof(WCHAR);

    memset(probe, 0, sizeof(probe));
    if (header == 8)
        memcpy(probe, &port, sizeof(port));
    if (!DeviceIoControl(device, ioctl, sendInput ? probe : NULL, sendInput ? probeSize : 0, probe, probeSize, &got,
                         NULL)) {
        ENUM_LOG_AS(caller, "DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        return NULL;
    }
    memcpy(&actual, probe + header - sizeof(ULONG), sizeof(actual));
    /* The length comes from the driver: no room for a name, or more than any name we keep, means none. */
    if (actual <= probeSize || actual > header + ENUM_MAX_NAME_CHARS * sizeof(WCHAR)) {
        ENUM_LOG_AS(caller, "%s", lengthError);
        return NULL;
    }
    full = (PBYTE)EnumAlloc(actual);
    if (!full) {
        ENUM_LOG_AS(caller, "memory not enough");
        return NULL;
    }
    if (header == 8)
        memcpy(full, &port, sizeof(port));
    got = 0;
    if (!DeviceIoControl(device, ioctl, sendInput ? full : NULL, sendInput ? actual : 0, full, actual, &got, NULL)) {
        ENUM_LOG_AS(caller, "DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        EnumFree(full);
        return NULL;
    }
    if (got <= header || got > actual)
        ENUM_LOG_AS(caller, "%s", lengthError);
    else
        name = WideToAnsi((const WCHAR *)(full + header), got - header);
    EnumFree(full);
    return name;
}

PCHAR GetHCDDriverKeyName(HANDLE controller) {
    return EnumReadCountedName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME, sizeof(ULONG), 0, TRUE,
                               "GetHCDDriverKeyName", "Get HCD Driver Key Name Error");
}

PCHAR GetRootHubName(HANDLE controller) {
    return EnumReadCountedName(controller, IOCTL_USB_GET_ROOT_HUB_NAME, sizeof(ULONG), 0, FALSE, "GetRootHubName",
                               "Get Root Hub Name Error");
}

DWORD GetHostControllerPowerMap(HANDLE controller, PHostControllerRecord record) {
    USBUSER_POWER_INFO_REQUEST request;
    DWORD got = 0;
    DWORD result = 0;
    int k = 0;

    for (k = 0; k < 6; k++) {
        memset(&request, 0, sizeof(request));
        request.Header.UsbUserRequest = USBUSER_GET_POWER_STATE_MAP;
        request.Header.RequestBufferLength = sizeof(request);
        request.PowerInformation.SystemState = (WDMUSB_POWER_STATE)(WdmUsbPowerSystemWorking + k);
        if (DeviceIoControl(controller, IOCTL_USB_USER_REQUEST, &request, sizeof(request), &request, sizeof(request),
                            &got, NULL)) {
            memcpy(&record->PowerMap[k].Info, &request.PowerInformation, sizeof(USB_POWER_INFO));
        } else {
            result = GetLastError();
            ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)result);
        }
    }
    return result;
}

DWORD GetHostControllerInfo(HANDLE controller, PHostControllerRecord record) {
    USBUSER_CONTROLLER_INFO_0 request;
    DWORD got = 0;
    DWORD error = 0;

    memset(&request, 0, sizeof(request));
    request.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
    request.Header.RequestBufferLength = sizeof(request);
    if (!DeviceIoControl(controller, IOCTL_USB_USER_REQUEST, &request, sizeof(request), &request, sizeof(request), &got,
                         NULL)) {
        error = GetLastError();
        ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)error);
        return error;
    }
    record->ControllerInfo = (PUSB_CONTROLLER_INFO_0)EnumAlloc(sizeof(USB_CONTROLLER_INFO_0));
    if (!record->ControllerInfo)
        ENUM_LOG("memory not enough");
    else
        memcpy(record->ControllerInfo, &request.Info0, sizeof(USB_CONTROLLER_INFO_0));
    return 0;
}

static void AppendController(PHostControllerRecord record) {
    EnumControllers();
    record->Prev = enumeratedControllers.Prev;
    record->Next = &enumeratedControllers;
    enumeratedControllers.Prev->Next = record;
    enumeratedControllers.Prev = record;
}

void EnumerateHostController(HANDLE controller, HDEVINFO set, PSP_DEVINFO_DATA device) {
    PHostControllerRecord record = NULL;
    PHostControllerRecord known = NULL;
    PDeviceListNode node = NULL;
    PDeviceListNode rootHubNode = NULL;
    PCHAR driverKey = NULL;
    PCHAR rootHubName = NULL;
    PCHAR rootHubKey = NULL;
    PDeviceProperties props = NULL;
    unsigned int vendor = 0, product = 0, subsys = 0, revision = 0;
    ULONG busNumber = 0, address = 0, keyLength = 0;
    DEVINST child = 0;
    CONFIGRET cr = CR_SUCCESS;
    int parsed = 0;

    record = (PHostControllerRecord)EnumAlloc(sizeof(HostControllerRecord));
    if (!record)
        return;
    record->Kind = HostController;
    record->Next = record->Prev = record;

    driverKey = GetHCDDriverKeyName(controller);
    if (!driverKey) {
        ENUM_LOG("obtaining driver key name failed");
        EnumFree(record);
        return;
    }
    node = FindNodeInList(&hostControllerList, driverKey);
    for (known = EnumControllers()->Next; known != &enumeratedControllers; known = known->Next) {
        if (known->DriverKey && strcmp(known->DriverKey, driverKey) == 0) {
            EnumFree(driverKey);
            EnumFree(record);
            return;
        }
    }
    record->DriverKey = driverKey;

    if (strlen(driverKey) < ENUM_MAX_NAME_CHARS)
        props = DriverNameToDeviceProperties(driverKey, strlen(driverKey));
    if (props) {
        parsed = sscanf_s(props->DeviceId, "PCI\\VEN_%x&DEV_%x&SUBSYS_%x&REV_%x", &vendor, &product, &subsys,
                          &revision);
        if (parsed != 4)
            ENUM_LOG("sscanf_s failed, %d, %d, %s", parsed, errno, props->DeviceId);
        record->VendorId = vendor;
        record->DeviceId = product;
        record->SubSysId = subsys;
        record->Revision = revision;
        record->Properties = props;
    } else {
        ENUM_LOG("DriverNameToDeviceProperties failed");
    }

    if (GetHostControllerPowerMap(controller, record) != 0)
        ENUM_LOG("GetHostControllerPowerMap failed");

    record->BusDeviceFunctionValid = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_BUSNUMBER, NULL, (PBYTE)&busNumber, sizeof(busNumber),
                                          NULL) &&
        SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_ADDRESS, NULL, (PBYTE)&address, sizeof(address), NULL)) {
        record->BusNumber = busNumber;
        record->BusDevice = (USHORT)(address >> 16);
        record->BusFunction = (USHORT)(address & 0xFFFF);
        record->BusDeviceFunctionValid = 1;
    }

    if (GetHostControllerInfo(controller, record) != 0)
        ENUM_LOG("GetHostControllerInfo failed");

    AppendController(record);
    if (node)
        node->HostControllerRec = record;

    rootHubName = GetRootHubName(controller);
    if (!rootHubName) {
        ENUM_LOG("Failure obtaining root hub name");
        return;
    }
    if (strlen(rootHubName) >= ENUM_MAX_NAME_CHARS) {
        EnumFree(rootHubName);
        return;
    }

    if (CM_Get_Child(&child, device->DevInst, 0) == CR_SUCCESS) {
        keyLength = 0;
        cr = CM_Get_DevNode_Registry_PropertyA(child, CM_DRP_DRIVER, NULL, NULL, &keyLength, 0);
        if (cr != CR_BUFFER_SMALL) {
            ENUM_LOG("First CM_Get_DevNode_Registry_Property call failed. Error: 0x%x", (unsigned)cr);
        } else {
            /* Room for a terminator the value may lack. */
            rootHubKey = (PCHAR)EnumAlloc((SIZE_T)keyLength + 2);
            if (!rootHubKey) {
                ENUM_LOG("Memory allocation failed");
            } else {
                cr = CM_Get_DevNode_Registry_PropertyA(child, CM_DRP_DRIVER, NULL, rootHubKey, &keyLength, 0);
                if (cr != CR_SUCCESS) {
                    ENUM_LOG("Second CM_Get_DevNode_Registry_Property call failed. Error: 0x%x", (unsigned)cr);
                } else {
                    rootHubNode = FindNodeInList(&usbHubList, rootHubKey);
                    if (rootHubNode)
                        rootHubNode->Parent = node;
                }
                EnumFree(rootHubKey);
            }
        }
    }
    EnumerateHub(rootHubNode, rootHubName, strlen(rootHubName), NULL, NULL, NULL, NULL, NULL, NULL, NULL);
}

ULONG EnumerateHostControllers(ULONG *DevicesConnected) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device;
    SP_DEVICE_INTERFACE_DATA iface;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = NULL;
    HANDLE controller = INVALID_HANDLE_VALUE;
    DWORD index = 0;
    DWORD error = 0;

    connectedDeviceCount = 0;
    EnumerateAllDevicesWithGuid(&usbDeviceList, &EnumGuidUsbDevice);
    EnumerateAllDevicesWithGuid(&usbHubList, &EnumGuidUsbHub);
    EnumerateAllDevicesWithGuid(&hostControllerList, &EnumGuidUsbHostController);

    set = SetupDiGetClassDevsA(&EnumGuidUsbHostController, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        ENUM_LOG("SetupDiGetClassDevs failed: 0x%x", (unsigned)GetLastError());
        goto done;
    }
    /* Interfaces, not devices, are walked: a controller with a second interface must not hide the ones after it.
       A controller met again through its second interface is not walked twice (EnumerateHostController). */
    for (index = 0;; index++) {
        memset(&device, 0, sizeof(device));
        memset(&iface, 0, sizeof(iface));
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &EnumGuidUsbHostController, index, &iface)) {
            error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                ENUM_LOG("SetupDiEnumDeviceInterfaces failed: 0x%x", (unsigned)error);
            break;
        }
        detail = EnumReadInterfaceDetail(set, &iface, &device, "EnumerateHostControllers");
        if (!detail)
            break;
        controller = CreateFileA(detail->DevicePath, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (controller == INVALID_HANDLE_VALUE) {
            ENUM_LOG("CreateFile failed: 0x%x", (unsigned)GetLastError());
        } else {
            EnumerateHostController(controller, set, &device);
            CloseHandle(controller);
        }
        EnumFree(detail);
        detail = NULL;
    }
    SetupDiDestroyDeviceInfoList(set);
done:
    if (DevicesConnected)
        *DevicesConnected = connectedDeviceCount;
    return connectedDeviceCount;
}
