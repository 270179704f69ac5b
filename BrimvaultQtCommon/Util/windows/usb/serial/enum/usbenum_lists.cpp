/* Module state, the three device lists, device properties and the life cycle of the USB tree enumerator. */
#include "usbenum_internal.h"

#include <string.h>

const GUID EnumGuidUsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID EnumGuidUsbHub = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
const GUID EnumGuidUsbHostController = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

HANDLE enumHeap = NULL;
/* An empty list: no set, the head linked to itself. */
#define ENUM_EMPTY_NODE(head) \
    {NULL, &(head), &(head), {0, {0, 0, 0, {0}}, 0, 0}, {0, {0, 0, 0, {0}}, 0, 0}, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0}
DeviceList usbDeviceList = {INVALID_HANDLE_VALUE, ENUM_EMPTY_NODE(usbDeviceList.ListHead)};
DeviceList usbHubList = {INVALID_HANDLE_VALUE, ENUM_EMPTY_NODE(usbHubList.ListHead)};
DeviceList hostControllerList = {INVALID_HANDLE_VALUE, ENUM_EMPTY_NODE(hostControllerList.ListHead)};
HostControllerRecord enumeratedControllers; /* linked to itself on first use: empty at program load */
ULONG connectedDeviceCount = 0;
ULONG enumHubDepth = 0;

/* Before UsbEnumInit the heap is not set yet; blocks handed out then still come from the process heap. */
static HANDLE EnumHeap(void) {
    return enumHeap ? enumHeap : GetProcessHeap();
}

PVOID EnumAlloc(SIZE_T bytes) {
    return HeapAlloc(EnumHeap(), HEAP_ZERO_MEMORY, bytes);
}

void EnumFree(PVOID block) {
    if (block)
        HeapFree(EnumHeap(), 0, block);
}

PHostControllerRecord EnumControllers(void) {
    if (!enumeratedControllers.Next) {
        enumeratedControllers.Kind = HostController;
        enumeratedControllers.Next = enumeratedControllers.Prev = &enumeratedControllers;
    }
    return &enumeratedControllers;
}

static void InitList(PDeviceList list) {
    list->DeviceInfo = INVALID_HANDLE_VALUE;
    list->ListHead.Next = &list->ListHead;
    list->ListHead.Prev = &list->ListHead;
}

static void UnlinkNode(PDeviceListNode node) {
    node->Prev->Next = node->Next;
    node->Next->Prev = node->Prev;
    node->Next = node->Prev = node;
}

static void AppendNode(PDeviceList list, PDeviceListNode node) {
    node->Prev = list->ListHead.Prev;
    node->Next = &list->ListHead;
    list->ListHead.Prev->Next = node;
    list->ListHead.Prev = node;
}

/* Whether a node of the list already stands for this device. */
static BOOL ListHoldsDevice(PDeviceList list, DEVINST device) {
    PDeviceListNode node = NULL;
    for (node = list->ListHead.Next; node != &list->ListHead; node = node->Next) {
        if (node->DeviceInfoData.DevInst == device)
            return TRUE;
    }
    return FALSE;
}

/* Frees every node of the list; the set stays as it is. */
static void DiscardNodes(PDeviceList list) {
    PDeviceListNode node = NULL;
    while (list->ListHead.Next != &list->ListHead) {
        node = list->ListHead.Next;
        UnlinkNode(node);
        DiscardInterfaceListNode(&node);
    }
}

void UsbEnumInit(void) {
    enumHeap = GetProcessHeap();
    InitList(&usbDeviceList);
    InitList(&usbHubList);
    InitList(&hostControllerList);
}

BOOL UsbEnumFree(PVOID Block) {
    if (!Block)
        return TRUE;
    return HeapFree(EnumHeap(), 0, Block);
}

void UsbEnumFinish(void) {
}

void DiscardInterfaceList(PDeviceList list) {
    if (list->DeviceInfo != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(list->DeviceInfo);
        list->DeviceInfo = INVALID_HANDLE_VALUE;
    }
    DiscardNodes(list);
}

void UsbEnumCleanup(void) {
    DiscardInterfaceList(&usbDeviceList);
    DiscardInterfaceList(&usbHubList);
    DiscardInterfaceList(&hostControllerList);
    ClearEnumeratedDevices();
}

void ClearEnumeratedDevices(void) {
    PHostControllerRecord record = NULL;
    PDeviceListNode node = NULL;
    while (EnumControllers()->Next != &enumeratedControllers) {
        record = enumeratedControllers.Next;
        /* A node that still holds the record must not free it a second time. */
        for (node = hostControllerList.ListHead.Next; node != &hostControllerList.ListHead; node = node->Next) {
            if (node->HostControllerRec == record)
                node->HostControllerRec = NULL;
        }
        FreeDeviceNode(record);
    }
}

void DiscardInterfaceListNode(PDeviceListNode *node) {
    PDeviceListNode n = NULL;
    if (!node || !*node)
        return;
    n = *node;
    FreeDeviceNode(n->Device);
    FreeDeviceNode(n->ExternalHub);
    FreeDeviceNode(n->RootHub);
    FreeDeviceNode(n->HostControllerRec);
    EnumFree(n->DeviceDetailData);
    EnumFree(n->DeviceDescName);
    EnumFree(n->DeviceDriverName);
    EnumFree(n);
    *node = NULL;
}

PSP_DEVICE_INTERFACE_DETAIL_DATA_A EnumReadInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                                                          PSP_DEVINFO_DATA device, const char *caller) {
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = NULL;
    DWORD required = 0;
    BOOL ok = FALSE;
    DWORD error = 0;

    ok = SetupDiGetDeviceInterfaceDetailA(set, iface, NULL, 0, &required, NULL);
    error = GetLastError();
    if ((!ok && error != ERROR_INSUFFICIENT_BUFFER) || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        ENUM_LOG_AS(caller, "SetupDiGetDeviceInterfaceDetail failed: 0x%x", (unsigned)error);
        return NULL;
    }
    detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)EnumAlloc(required);
    if (!detail) {
        ENUM_LOG_AS(caller, "memory not enough");
        return NULL;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device->cbSize = sizeof(SP_DEVINFO_DATA);
    /* The device comes from the interface itself, so path and device always belong together. */
    if (!SetupDiGetDeviceInterfaceDetailA(set, iface, detail, required, NULL, device)) {
        ENUM_LOG_AS(caller, "SetupDiGetDeviceInterfaceDetail failed: 0x%x", (unsigned)GetLastError());
        EnumFree(detail);
        return NULL;
    }
    return detail;
}

void EnumerateAllDevicesWithGuid(PDeviceList list, const GUID *guid) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    PDeviceListNode node = NULL;
    DWORD index = 0;
    DWORD error = 0;

    if (list->DeviceInfo != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(list->DeviceInfo);
        list->DeviceInfo = INVALID_HANDLE_VALUE;
        DiscardNodes(list);
    }
    set = SetupDiGetClassDevsA(guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    list->DeviceInfo = set;
    if (set == INVALID_HANDLE_VALUE)
        return;

    /* Interfaces, not devices, are walked: a device may expose more than one interface of the class, so the
       index of an interface says nothing about the index of its device. */
    for (index = 0;; index++) {
        node = (PDeviceListNode)EnumAlloc(sizeof(DeviceListNode));
        if (!node) {
            ENUM_LOG("memory not enough");
            break;
        }
        node->DeviceInfo = set;
        node->Next = node->Prev = node;
        node->DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
        node->DeviceInterfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);

        if (!SetupDiEnumDeviceInterfaces(set, NULL, guid, index, &node->DeviceInterfaceData)) {
            /* Any failure ends the fill: an error that repeats for every index would never end it. */
            error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                ENUM_LOG("SetupDiEnumDeviceInterfaces failed: 0x%x", (unsigned)error);
            DiscardInterfaceListNode(&node);
            break;
        }
        node->DeviceDetailData =
            EnumReadInterfaceDetail(set, &node->DeviceInterfaceData, &node->DeviceInfoData, "EnumerateAllDevicesWithGuid");
        if (!node->DeviceDetailData) {
            DiscardInterfaceListNode(&node);
            break;
        }
        /* One node per device, by its first interface: lookups by driver key and the tree walk's records expect
           to meet each device once. */
        if (ListHoldsDevice(list, node->DeviceInfoData.DevInst)) {
            DiscardInterfaceListNode(&node);
            continue;
        }
        /* A device whose properties cannot be read (no driver yet, being removed) is left out; the rest stay. */
        if (!GetDeviceProperty(set, &node->DeviceInfoData, SPDRP_DEVICEDESC, &node->DeviceDescName) ||
            !GetDeviceProperty(set, &node->DeviceInfoData, SPDRP_DRIVER, &node->DeviceDriverName)) {
            ENUM_LOG("GetDeviceProperty failed");
            DiscardInterfaceListNode(&node);
            continue;
        }
        AppendNode(list, node);
    }
}

void EnumerateAllDeviceLists(void) {
    EnumerateAllDevicesWithGuid(&usbDeviceList, &EnumGuidUsbDevice);
    EnumerateAllDevicesWithGuid(&usbHubList, &EnumGuidUsbHub);
    EnumerateAllDevicesWithGuid(&hostControllerList, &EnumGuidUsbHostController);
}

PDeviceListNode FindNodeInList(PDeviceList list, PCSTR driverKey) {
    PDeviceListNode node = NULL;
    if (!driverKey)
        return NULL;
    for (node = list->ListHead.Next; node != &list->ListHead; node = node->Next) {
        if (node->DeviceDriverName && _stricmp(driverKey, node->DeviceDriverName) == 0)
            return node;
    }
    return NULL;
}

PDeviceListNode FindDeviceInfoNodeByDriverKey(PCSTR driverKey, ULONG kind) {
    switch (kind) {
    case HostController:
        return FindNodeInList(&hostControllerList, driverKey);
    case RootHub:
    case ExternalHub:
        return FindNodeInList(&usbHubList, driverKey);
    case Device:
        return FindNodeInList(&usbDeviceList, driverKey);
    default:
        return NULL;
    }
}

ULONG GetDevicePowerData(PDeviceListNode node) {
    CM_POWER_DATA power;
    memset(&power, 0, sizeof(power));
    if (!node)
        return PowerDeviceUnspecified;
    if (!SetupDiGetDeviceRegistryPropertyA(node->DeviceInfo, &node->DeviceInfoData, SPDRP_DEVICE_POWER_DATA, NULL,
                                           (PBYTE)&power, sizeof(power), NULL))
        return PowerDeviceUnspecified;
    node->LatestDevicePowerState = power.PD_MostRecentPowerState;
    return node->LatestDevicePowerState;
}

BOOL GetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PCHAR *out) {
    DWORD required = 0;
    DWORD error = 0;
    BOOL ok = FALSE;
    PCHAR buffer = NULL;

    if (!out)
        return FALSE;
    *out = NULL;
    ok = SetupDiGetDeviceRegistryPropertyA(set, device, property, NULL, NULL, 0, &required);
    error = GetLastError();
    if (required == 0 || (ok && error != ERROR_INSUFFICIENT_BUFFER)) {
        if (error != ERROR_INVALID_DATA)
            ENUM_LOG("SetupDiGetDeviceRegistryProperty failed: 0x%x", (unsigned)error);
        return FALSE;
    }
    /* Two zero bytes more than reported, so a value stored without a terminator still ends. */
    buffer = (PCHAR)EnumAlloc((SIZE_T)required + 2);
    if (!buffer)
        return FALSE;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, NULL, (PBYTE)buffer, required, NULL)) {
        ENUM_LOG("SetupDiGetDeviceRegistryProperty failed: 0x%x", (unsigned)GetLastError());
        EnumFree(buffer);
        return FALSE;
    }
    *out = buffer;
    return TRUE;
}

BOOL DriverNameToDeviceInst(PCSTR driverKey, size_t length, HDEVINFO *set, PSP_DEVINFO_DATA device) {
    HDEVINFO devs = INVALID_HANDLE_VALUE;
    PCHAR copy = NULL;
    PCHAR value = NULL;
    DWORD index = 0;
    size_t i = 0;
    BOOL found = FALSE;

    if (!set || !device)
        return FALSE;
    *set = INVALID_HANDLE_VALUE;
    memset(device, 0, sizeof(*device));
    if (!driverKey || length + 1 > 0x7FFFFFFF)
        return FALSE;
    copy = (PCHAR)EnumAlloc(length + 1);
    if (!copy)
        return FALSE;
    for (i = 0; i < length && driverKey[i]; i++)
        copy[i] = driverKey[i];

    devs = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devs == INVALID_HANDLE_VALUE) {
        ENUM_LOG("SetupDiGetClassDevs failed: 0x%x", (unsigned)GetLastError());
        EnumFree(copy);
        return FALSE;
    }
    for (index = 0;; index++) {
        device->cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(devs, index, device))
            break;
        if (GetDeviceProperty(devs, device, SPDRP_DRIVER, &value) && _stricmp(value, copy) == 0)
            found = TRUE;
        EnumFree(value);
        value = NULL;
        if (found) {
            *set = devs;
            EnumFree(copy);
            return TRUE;
        }
    }
    ENUM_LOG("SetupDiEnumDeviceInfo failed: 0x%x", (unsigned)GetLastError());
    SetupDiDestroyDeviceInfoList(devs);
    memset(device, 0, sizeof(*device));
    EnumFree(copy);
    return FALSE;
}

PDeviceProperties DriverNameToDeviceProperties(PCSTR driverKey, size_t length) {
    PDeviceProperties props = NULL;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device;
    DWORD idLength = 0;
    BOOL ok = FALSE;
    BOOL failed = TRUE;

    memset(&device, 0, sizeof(device));
    props = (PDeviceProperties)EnumAlloc(sizeof(DeviceProperties));
    if (!props)
        return NULL;
    if (!DriverNameToDeviceInst(driverKey, length, &set, &device)) {
        EnumFree(props);
        return NULL;
    }
    /* Only a size query that failed for want of room has told the length. */
    ok = SetupDiGetDeviceInstanceIdA(set, &device, NULL, 0, &idLength);
    if (ok || GetLastError() != ERROR_INSUFFICIENT_BUFFER || idLength == 0) {
        ENUM_LOG("SetupDiGetDeviceInstanceId failed: 0x%x", (unsigned)GetLastError());
        goto done;
    }
    props->DeviceId = (PCHAR)EnumAlloc((SIZE_T)idLength + 1);
    if (!props->DeviceId)
        goto done;
    if (!SetupDiGetDeviceInstanceIdA(set, &device, props->DeviceId, idLength, NULL)) {
        ENUM_LOG("SetupDiGetDeviceInstanceId failed: 0x%x", (unsigned)GetLastError());
        goto done;
    }
    if (!GetDeviceProperty(set, &device, SPDRP_DEVICEDESC, &props->DeviceDesc))
        goto done;
    GetDeviceProperty(set, &device, SPDRP_HARDWAREID, &props->HwId);
    GetDeviceProperty(set, &device, SPDRP_SERVICE, &props->Service);
    GetDeviceProperty(set, &device, SPDRP_CLASS, &props->DeviceClass);
    failed = FALSE;
done:
    SetupDiDestroyDeviceInfoList(set);
    if (failed)
        DiscardDevicePropertiesRecord(&props);
    return props;
}

void DiscardDevicePropertiesRecord(PDeviceProperties *record) {
    PDeviceProperties p = NULL;
    if (!record || !*record)
        return;
    p = *record;
    EnumFree(p->DeviceId);
    EnumFree(p->DeviceDesc);
    EnumFree(p->HwId);
    EnumFree(p->Service);
    EnumFree(p->DeviceClass);
    EnumFree(p);
    *record = NULL;
}

PCHAR WideToAnsi(const WCHAR *text, ULONG byteCount) {
    PWCHAR copy = NULL;
    PCHAR ansi = NULL;
    SIZE_T even = ((SIZE_T)byteCount + 1) & ~(SIZE_T)1; /* whole UTF-16 units, so the terminator is aligned */
    int size = 0;

    if (!text)
        return NULL;
    copy = (PWCHAR)EnumAlloc(even + sizeof(WCHAR));
    if (!copy)
        return NULL;
    memcpy(copy, text, byteCount);
    size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, copy, -1, NULL, 0, NULL, NULL);
    if (size > 0) {
        ansi = (PCHAR)EnumAlloc((SIZE_T)size);
        if (ansi && WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, copy, -1, ansi, size, NULL, NULL) == 0) {
            EnumFree(ansi);
            ansi = NULL;
        }
    }
    EnumFree(copy);
    return ansi;
}

void EnumerateInterfacesOfDevice(PCSTR instanceId) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device;
    SP_DEVICE_INTERFACE_DATA iface;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = NULL;
    DWORD index = 0;
    DWORD required = 0;

    set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        ENUM_LOG("SetupDiCreateDeviceInfoList failed: 0x%x", (unsigned)GetLastError());
        return;
    }
    memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    SetupDiOpenDeviceInfoA(set, instanceId, NULL, 0, &device);
    for (index = 0;; index++) {
        memset(&iface, 0, sizeof(iface));
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, &device, NULL, index, &iface))
            break;
        required = 0;
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, NULL, 0, &required, NULL) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)EnumAlloc(required);
        if (!detail)
            continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, NULL, NULL))
            BV_LOG(kLevelInfo, "ENUM_USB", "  Interface: %s", detail->DevicePath);
        EnumFree(detail);
        detail = NULL;
    }
    SetupDiDestroyDeviceInfoList(set);
}
