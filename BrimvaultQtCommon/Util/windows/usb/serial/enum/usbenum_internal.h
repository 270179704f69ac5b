/* Records, module state and steps of the USB tree enumerator, shared by its source files (and read by its tests).
   Plain C style: no classes, no Qt, no C++ library. Ownership is said at each pointer. */
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <usbioctl.h>
#include <usb.h>
#include <usbuser.h>
#include <usbspec.h>

#include "Log/log.h"
#include "usbenum.h"

/* Every failure line of the module: error level, tag "ENUM_USB", the operation's own name. */
#define ENUM_LOG(...) BV_LOG(kLevelError, "ENUM_USB", __VA_ARGS__)
/* The same, under the name of an operation that shares a helper. */
#define ENUM_LOG_AS(func, ...)                                                       \
    do {                                                                             \
        if (xlogger_IsEnabledFor(kLevelError))                                       \
            log_print(kLevelError, "ENUM_USB", __FILE__, (func), __LINE__, __VA_ARGS__); \
    } while (0)

/* Names of 256 characters or more are treated as absent, so no reply needs more room than this. */
#define ENUM_MAX_NAME_CHARS 256
/* Connector properties carry one companion hub name; anything larger is a misbehaving driver. */
#define ENUM_MAX_CONNECTOR_PROPERTIES 0x10000
/* Root hub, at most five external hubs and the device: seven tiers. */
#define ENUM_MAX_HUB_DEPTH 6

/* Not in every SDK: the interface association descriptor and the interface descriptor with wNumClasses. */
#pragma pack(push, 1)
typedef struct _USB_IAD_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_IAD_DESCRIPTOR, *PUSB_IAD_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR2 {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
    USHORT wNumClasses;
    UCHAR bReserved;
} USB_INTERFACE_DESCRIPTOR2, *PUSB_INTERFACE_DESCRIPTOR2;
#pragma pack(pop)

/* Interface classes of the three device lists. */
extern const GUID EnumGuidUsbDevice;
extern const GUID EnumGuidUsbHub;
extern const GUID EnumGuidUsbHostController;

typedef enum _UsbNodeKind { HostController = 0, RootHub = 1, ExternalHub = 2, Device = 3 } UsbNodeKind;

typedef struct _DeviceProperties {
    PCHAR DeviceId;     /* owned */
    PCHAR DeviceDesc;   /* owned; always set in a record that is handed out */
    PCHAR HwId;         /* owned, a multi-string */
    PCHAR Service;      /* owned */
    PCHAR DeviceClass;  /* owned */
} DeviceProperties, *PDeviceProperties;

typedef struct _PowerMapEntry {
    USB_POWER_INFO Info;
} PowerMapEntry;

typedef struct _HostControllerRecord {
    ULONG Kind; /* HostController */
    struct _HostControllerRecord *Next;
    struct _HostControllerRecord *Prev;
    PCHAR DriverKey;                 /* owned */
    ULONG VendorId;
    ULONG DeviceId;
    ULONG SubSysId;
    ULONG Revision;
    PowerMapEntry PowerMap[6];
    ULONG BusDeviceFunctionValid;
    ULONG BusNumber;
    USHORT BusDevice;
    USHORT BusFunction;
    PUSB_CONTROLLER_INFO_0 ControllerInfo; /* owned */
    PDeviceProperties Properties;          /* owned */
} HostControllerRecord, *PHostControllerRecord;

/* One string descriptor in one language; the descriptor bytes follow as returned. */
typedef struct _StringDescriptorEntry {
    struct _StringDescriptorEntry *Next; /* owned: the chain is freed entry by entry */
    UCHAR DescriptorIndex;
    USHORT LanguageID;
    USB_STRING_DESCRIPTOR StringDescriptor[1];
} StringDescriptorEntry, *PStringDescriptorEntry;

typedef struct _RootHubRecord {
    ULONG Kind; /* RootHub */
    PUSB_NODE_INFORMATION HubInfo;               /* owned */
    PUSB_HUB_INFORMATION_EX HubInfoEx;           /* owned */
    PCHAR HubName;                               /* owned */
    PUSB_PORT_CONNECTOR_PROPERTIES PortConnectorProps; /* owned */
    PDeviceProperties Properties;                /* owned */
    PUSB_HUB_CAPABILITIES_EX HubCapabilityEx;    /* owned */
} RootHubRecord, *PRootHubRecord;

/* ExternalHubRecord and DeviceRecord share one layout; a device's hub fields stay empty. */
typedef struct _ExternalHubRecord {
    ULONG Kind; /* ExternalHub or Device */
    PUSB_NODE_INFORMATION HubInfo;                         /* owned */
    PUSB_HUB_INFORMATION_EX HubInfoEx;                     /* owned */
    PCHAR HubName;                                         /* owned */
    PUSB_NODE_CONNECTION_INFORMATION_EX ConnectionInfo;    /* owned, ENUM_CONNECTION_INFO_SIZE bytes */
    PUSB_PORT_CONNECTOR_PROPERTIES PortConnectorProps;     /* owned */
    PUSB_DESCRIPTOR_REQUEST ConfigDesc;                    /* owned */
    PUSB_DESCRIPTOR_REQUEST BosDesc;                       /* owned */
    PStringDescriptorEntry StringDescs;                    /* owned chain */
    PUSB_NODE_CONNECTION_INFORMATION_EX_V2 ConnectionInfoV2; /* owned */
    PDeviceProperties Properties;                          /* owned */
    PUSB_HUB_CAPABILITIES_EX HubCapabilityEx;              /* owned */
} ExternalHubRecord, *PExternalHubRecord, DeviceRecord, *PDeviceRecord;

/* Connection information with room for 30 pipes. */
#define ENUM_CONNECTION_INFO_SIZE (sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + 30 * sizeof(USB_PIPE_INFO))

typedef struct _DeviceListNode {
    HDEVINFO DeviceInfo; /* the list's set; not owned */
    struct _DeviceListNode *Next;
    struct _DeviceListNode *Prev;
    SP_DEVINFO_DATA DeviceInfoData;
    SP_DEVICE_INTERFACE_DATA DeviceInterfaceData;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceDetailData; /* owned */
    PCHAR DeviceDescName;                                /* owned */
    PCHAR DeviceDriverName;                              /* owned */
    PDeviceRecord Device;                                /* owned */
    PExternalHubRecord ExternalHub;                      /* owned */
    PRootHubRecord RootHub;                              /* owned */
    PHostControllerRecord HostControllerRec;             /* owned */
    struct _DeviceListNode *Parent;                      /* not owned */
    ULONG LatestDevicePowerState;
} DeviceListNode, *PDeviceListNode;

typedef struct _DeviceList {
    HDEVINFO DeviceInfo;
    DeviceListNode ListHead; /* circular; empty when it points to itself */
} DeviceList, *PDeviceList;

/* Module state. */
extern HANDLE enumHeap;
extern DeviceList usbDeviceList;
extern DeviceList usbHubList;
extern DeviceList hostControllerList;
extern HostControllerRecord enumeratedControllers; /* list head: Next/Prev only; reach it through EnumControllers */
extern ULONG connectedDeviceCount;
extern ULONG enumHubDepth; /* hubs open along the current walk */

/* The head of enumeratedControllers, linked to itself on first use. */
PHostControllerRecord EnumControllers(void);

/* Module allocator pair: zero-filled blocks from enumHeap (the process heap before UsbEnumInit). */
PVOID EnumAlloc(SIZE_T bytes);
void EnumFree(PVOID block);

/* Lists and properties. */
void EnumerateAllDevicesWithGuid(PDeviceList list, const GUID *guid);
void EnumerateAllDeviceLists(void);
void DiscardInterfaceList(PDeviceList list);
void ClearEnumeratedDevices(void);
void DiscardInterfaceListNode(PDeviceListNode *node);
PDeviceListNode FindDeviceInfoNodeByDriverKey(PCSTR driverKey, ULONG kind);
PDeviceListNode FindNodeInList(PDeviceList list, PCSTR driverKey);
ULONG GetDevicePowerData(PDeviceListNode node);
BOOL GetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PCHAR *out);
BOOL DriverNameToDeviceInst(PCSTR driverKey, size_t length, HDEVINFO *set, PSP_DEVINFO_DATA device);
PDeviceProperties DriverNameToDeviceProperties(PCSTR driverKey, size_t length);
void DiscardDevicePropertiesRecord(PDeviceProperties *record);
PCHAR WideToAnsi(const WCHAR *text, ULONG byteCount);
void EnumerateInterfacesOfDevice(PCSTR instanceId);
/* The detail of the interface just enumerated and, through device, the device it belongs to: path and device
   always belong together. Logs under caller's name; NULL on failure; the caller frees it with EnumFree. */
PSP_DEVICE_INTERFACE_DETAIL_DATA_A EnumReadInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                                                          PSP_DEVINFO_DATA device, const char *caller);

/* Host controllers. */
/* A counted UTF-16 name in two calls: header bytes before the name (4, or 8 with the port first). The driver's
   ActualLength and bytes returned are checked before they size or index anything; NULL on failure. */
PCHAR EnumReadCountedName(HANDLE device, DWORD ioctl, ULONG header, ULONG port, BOOL sendInput, const char *caller,
                          const char *lengthError);
void EnumerateHostController(HANDLE controller, HDEVINFO set, PSP_DEVINFO_DATA device);
PCHAR GetHCDDriverKeyName(HANDLE controller);
PCHAR GetRootHubName(HANDLE controller);
DWORD GetHostControllerPowerMap(HANDLE controller, PHostControllerRecord record);
DWORD GetHostControllerInfo(HANDLE controller, PHostControllerRecord record);

/* Hubs and ports. */
void EnumerateHub(PDeviceListNode node, PCHAR hubName, size_t nameLength,
                  PUSB_NODE_CONNECTION_INFORMATION_EX connectionInfo,
                  PUSB_NODE_CONNECTION_INFORMATION_EX_V2 connectionInfoV2,
                  PUSB_PORT_CONNECTOR_PROPERTIES portConnectorProps, PUSB_DESCRIPTOR_REQUEST configDesc,
                  PUSB_DESCRIPTOR_REQUEST bosDesc, PStringDescriptorEntry stringDescs, PDeviceProperties properties);
void EnumerateHubPorts(PDeviceListNode node, HANDLE hub, ULONG numberOfPorts);
PCHAR GetDriverKeyName(HANDLE hub, ULONG port);
PCHAR GetExternalHubName(HANDLE hub, ULONG port);
void FreeDeviceNode(PVOID record);

/* Descriptors. */
PUSB_DESCRIPTOR_REQUEST GetConfigDescriptor(HANDLE hub, ULONG port, UCHAR index);
PUSB_DESCRIPTOR_REQUEST GetBOSDescriptor(HANDLE hub, ULONG port);
PStringDescriptorEntry GetStringDescriptor(HANDLE hub, ULONG port, UCHAR index, USHORT languageId);
BOOL AreThereStringDescriptors(PUSB_DEVICE_DESCRIPTOR deviceDesc, PUSB_CONFIGURATION_DESCRIPTOR configDesc);
PStringDescriptorEntry GetAllStringDescriptors(HANDLE hub, ULONG port, PUSB_DEVICE_DESCRIPTOR deviceDesc,
                                               PUSB_CONFIGURATION_DESCRIPTOR configDesc);
HRESULT AppendStringDescriptorsForIndex(HANDLE hub, ULONG port, UCHAR index, ULONG numLanguageIds,
                                        const USHORT *languageIds, PStringDescriptorEntry head);
void FreeStringDescriptors(PStringDescriptorEntry head);

/* Serial lookup. */
BOOL isChildDevice(PCSTR candidate, PCSTR ancestor);
