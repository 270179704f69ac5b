/* Hub and port walk of the USB tree enumerator: one record per hub, one per port's device, recursing into external
   hubs depth-first. */
#include "usbenum_internal.h"

#include <string.h>

PCHAR GetDriverKeyName(HANDLE hub, ULONG port) {
    return EnumReadCountedName(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2 * sizeof(ULONG), port, TRUE,
                               "GetDriverKeyName", "Get Driver Key Name Error");
}

PCHAR GetExternalHubName(HANDLE hub, ULONG port) {
    return EnumReadCountedName(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 2 * sizeof(ULONG), port, TRUE,
                               "GetExternalHubName", "Get External Hub Name Error");
}

static void FreePortBuffers(PUSB_NODE_CONNECTION_INFORMATION_EX connectionInfo,
                            PUSB_NODE_CONNECTION_INFORMATION_EX_V2 connectionInfoV2,
                            PUSB_PORT_CONNECTOR_PROPERTIES portConnectorProps, PUSB_DESCRIPTOR_REQUEST configDesc,
                            PUSB_DESCRIPTOR_REQUEST bosDesc, PStringDescriptorEntry stringDescs,
                            PDeviceProperties properties) {
    EnumFree(connectionInfo);
    EnumFree(connectionInfoV2);
    EnumFree(portConnectorProps);
    EnumFree(configDesc);
    EnumFree(bosDesc);
    FreeStringDescriptors(stringDescs);
    DiscardDevicePropertiesRecord(&properties);
}

void EnumerateHub(PDeviceListNode node, PCHAR hubName, size_t nameLength,
                  PUSB_NODE_CONNECTION_INFORMATION_EX connectionInfo,
                  PUSB_NODE_CONNECTION_INFORMATION_EX_V2 connectionInfoV2,
                  PUSB_PORT_CONNECTOR_PROPERTIES portConnectorProps, PUSB_DESCRIPTOR_REQUEST configDesc,
                  PUSB_DESCRIPTOR_REQUEST bosDesc, PStringDescriptorEntry stringDescs, PDeviceProperties properties) {
    PExternalHubRecord external = NULL;
    PRootHubRecord root = NULL;
    PVOID record = NULL;
    PUSB_NODE_INFORMATION hubInfo = NULL;
    PUSB_HUB_INFORMATION_EX hubInfoEx = NULL;
    PUSB_HUB_CAPABILITIES_EX hubCaps = NULL;
    PCHAR path = NULL;
    HANDLE hub = INVALID_HANDLE_VALUE;
    DWORD got = 0;
    DWORD error = 0;
    size_t i = 0;
    BOOL isExternal = connectionInfo != NULL;
    BOOL stored = FALSE;

    /* A hub that names one of its ancestors would otherwise recurse until the stack runs out. */
    if (enumHubDepth >= ENUM_MAX_HUB_DEPTH) {
        ENUM_LOG("hub nesting deeper than %d tiers", ENUM_MAX_HUB_DEPTH + 1);
        goto release;
    }
    record = EnumAlloc(isExternal ? sizeof(ExternalHubRecord) : sizeof(RootHubRecord));
    hubInfo = record ? (PUSB_NODE_INFORMATION)EnumAlloc(sizeof(USB_NODE_INFORMATION)) : NULL;
    hubInfoEx = hubInfo ? (PUSB_HUB_INFORMATION_EX)EnumAlloc(sizeof(USB_HUB_INFORMATION_EX)) : NULL;
    hubCaps = hubInfoEx ? (PUSB_HUB_CAPABILITIES_EX)EnumAlloc(sizeof(USB_HUB_CAPABILITIES_EX)) : NULL;
    if (!hubCaps) {
        ENUM_LOG("memory not enough");
        goto release;
    }
    if (isExternal) {
        external = (PExternalHubRecord)record;
        external->Kind = ExternalHub;
        external->HubInfo = hubInfo;
        external->HubInfoEx = hubInfoEx;
        external->HubName = hubName;
        external->ConnectionInfo = connectionInfo;
        external->PortConnectorProps = portConnectorProps;
        external->ConfigDesc = configDesc;
        external->BosDesc = bosDesc;
        external->StringDescs = stringDescs;
        external->ConnectionInfoV2 = connectionInfoV2;
        external->Properties = properties;
        external->HubCapabilityEx = hubCaps;
    } else {
        root = (PRootHubRecord)record;
        root->Kind = RootHub;
        root->HubInfo = hubInfo;
        root->HubInfoEx = hubInfoEx;
        root->HubName = hubName;
        root->PortConnectorProps = portConnectorProps;
        root->Properties = properties;
        root->HubCapabilityEx = hubCaps;
        /* A root hub record has no place for these. */
        FreePortBuffers(NULL, connectionInfoV2, NULL, configDesc, bosDesc, stringDescs, NULL);
    }
    /* The record owns the name and every buffer from here on. */
    hubInfo = NULL;
    hubInfoEx = NULL;
    hubCaps = NULL;
    hubName = NULL;
    connectionInfo = NULL;
    connectionInfoV2 = NULL;
    portConnectorProps = NULL;
    configDesc = NULL;
    bosDesc = NULL;
    stringDescs = NULL;
    properties = NULL;

    path = (PCHAR)EnumAlloc(nameLength + 5);
    if (!path) {
        ENUM_LOG("memory not enough");
        goto release;
    }
    memcpy(path, "\\\\.\\", 4);
    {
        PCHAR name = isExternal ? external->HubName : root->HubName;
        for (i = 0; i < nameLength && name[i]; i++)
            path[4 + i] = name[i];
    }
    hub = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    error = GetLastError();
    EnumFree(path);
    if (hub == INVALID_HANDLE_VALUE) {
        ENUM_LOG("CreateFile failed with: 0x%x", (unsigned)error);
        goto release;
    }

    {
        PUSB_NODE_INFORMATION info = isExternal ? external->HubInfo : root->HubInfo;
        PUSB_HUB_INFORMATION_EX *infoEx = isExternal ? &external->HubInfoEx : &root->HubInfoEx;
        PUSB_HUB_CAPABILITIES_EX *caps = isExternal ? &external->HubCapabilityEx : &root->HubCapabilityEx;

        if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, info, sizeof(USB_NODE_INFORMATION), info,
                             sizeof(USB_NODE_INFORMATION), &got, NULL)) {
            ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
            CloseHandle(hub);
            goto release;
        }
        got = 0;
        if (!DeviceIoControl(hub, IOCTL_USB_GET_HUB_INFORMATION_EX, *infoEx, sizeof(USB_HUB_INFORMATION_EX), *infoEx,
                             sizeof(USB_HUB_INFORMATION_EX), &got, NULL) ||
            got < sizeof(USB_HUB_INFORMATION_EX)) {
            ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
            EnumFree(*infoEx);
            *infoEx = NULL;
        }
        got = 0;
        if (!DeviceIoControl(hub, IOCTL_USB_GET_HUB_CAPABILITIES_EX, *caps, sizeof(USB_HUB_CAPABILITIES_EX), *caps,
                             sizeof(USB_HUB_CAPABILITIES_EX), &got, NULL) ||
            got < sizeof(USB_HUB_CAPABILITIES_EX)) {
            ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
            EnumFree(*caps);
            *caps = NULL;
        }

        /* A hub met a second time (a loop in a broken topology) keeps the record of its first walk. */
        if (node && isExternal && !node->ExternalHub) {
            node->ExternalHub = external;
            stored = TRUE;
        } else if (node && !isExternal && !node->RootHub) {
            node->RootHub = root;
            stored = TRUE;
        }
        enumHubDepth++;
        EnumerateHubPorts(node, hub, info->u.HubInformation.HubDescriptor.bNumberOfPorts);
        enumHubDepth--;
        CloseHandle(hub);
    }
    if (!stored)
        FreeDeviceNode(record);
    return;

release:
    /* Whatever happened, everything handed in or made here is released; no node holds the record yet. */
    if (record && (external || root))
        FreeDeviceNode(record);
    else
        EnumFree(record);
    EnumFree(hubInfo);
    EnumFree(hubInfoEx);
    EnumFree(hubCaps);
    EnumFree(hubName);
    FreePortBuffers(connectionInfo, connectionInfoV2, portConnectorProps, configDesc, bosDesc, stringDescs,
                    properties);
}

/* Port connector properties of one port, or NULL. The driver's ActualLength is checked before it sizes a block. */
static PUSB_PORT_CONNECTOR_PROPERTIES ReadConnectorProperties(HANDLE hub, ULONG port) {
    USB_PORT_CONNECTOR_PROPERTIES probe;
    PUSB_PORT_CONNECTOR_PROPERTIES props = NULL;
    DWORD got = 0;
    DWORD error = 0;

    memset(&probe, 0, sizeof(probe));
    probe.ConnectionIndex = port;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, &probe, sizeof(probe), &probe, sizeof(probe),
                         &got, NULL) ||
        got != sizeof(probe)) {
        error = GetLastError();
        if (error != ERROR_INVALID_FUNCTION)
            ENUM_LOG_AS("EnumerateHubPorts", "DeviceIoControl failed with: 0x%x", (unsigned)error);
        return NULL;
    }
    /* The length comes from the driver: it must hold the record itself and stay within reason. */
    if (probe.ActualLength < sizeof(probe) || probe.ActualLength > ENUM_MAX_CONNECTOR_PROPERTIES) {
        ENUM_LOG_AS("EnumerateHubPorts", "connectorProps->ActualLength (%u) out of range", (unsigned)probe.ActualLength);
        return NULL;
    }
    props = (PUSB_PORT_CONNECTOR_PROPERTIES)EnumAlloc(probe.ActualLength);
    if (!props)
        return NULL;
    props->ConnectionIndex = port;
    got = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, props, probe.ActualLength, props,
                         probe.ActualLength, &got, NULL) ||
        got < probe.ActualLength) {
        ENUM_LOG_AS("EnumerateHubPorts", "DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        EnumFree(props);
        return NULL;
    }
    return props;
}

void EnumerateHubPorts(PDeviceListNode node, HANDLE hub, ULONG numberOfPorts) {
    PUSB_NODE_CONNECTION_INFORMATION_EX info = NULL;
    PUSB_NODE_CONNECTION_INFORMATION_EX_V2 infoV2 = NULL;
    PUSB_NODE_CONNECTION_INFORMATION fallback = NULL;
    PUSB_PORT_CONNECTOR_PROPERTIES connector = NULL;
    PUSB_DESCRIPTOR_REQUEST configDesc = NULL;
    PUSB_DESCRIPTOR_REQUEST bosDesc = NULL;
    PStringDescriptorEntry strings = NULL;
    PDeviceProperties props = NULL;
    PDeviceListNode portNode = NULL;
    PDeviceRecord device = NULL;
    PCHAR driverKey = NULL;
    PCHAR hubName = NULL;
    DWORD got = 0;
    DWORD error = 0;
    ULONG port = 0;

    for (port = 1; port <= numberOfPorts; port++) {
        connector = NULL;
        configDesc = NULL;
        bosDesc = NULL;
        strings = NULL;
        props = NULL;
        portNode = NULL;

        info = (PUSB_NODE_CONNECTION_INFORMATION_EX)EnumAlloc(ENUM_CONNECTION_INFO_SIZE);
        if (!info) {
            ENUM_LOG("memory not enough");
            return;
        }
        infoV2 = (PUSB_NODE_CONNECTION_INFORMATION_EX_V2)EnumAlloc(sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2));
        if (!infoV2) {
            ENUM_LOG("memory not enough");
            EnumFree(info);
            return;
        }

        connector = ReadConnectorProperties(hub, port);

        infoV2->ConnectionIndex = port;
        infoV2->Length = sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2);
        infoV2->SupportedUsbProtocols.ul = 4; /* Usb300 */
        got = 0;
        if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, infoV2,
                             sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2), infoV2,
                             sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2), &got, NULL) ||
            got < sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2)) {
            error = GetLastError();
            if (error != ERROR_INVALID_FUNCTION)
                ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)error);
            EnumFree(infoV2);
            infoV2 = NULL;
        }

        info->ConnectionIndex = port;
        if (DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, info, ENUM_CONNECTION_INFO_SIZE, info,
                            ENUM_CONNECTION_INFO_SIZE, &got, NULL)) {
            if (infoV2 && info->Speed == UsbHighSpeed && (infoV2->Flags.ul & 5) != 0)
                info->Speed = UsbSuperSpeed;
        } else {
            fallback = (PUSB_NODE_CONNECTION_INFORMATION)EnumAlloc(ENUM_CONNECTION_INFO_SIZE);
            if (!fallback) {
                ENUM_LOG("memory not enough");
                FreePortBuffers(info, infoV2, connector, NULL, NULL, NULL, NULL);
                continue;
            }
            fallback->ConnectionIndex = port;
            if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, fallback, ENUM_CONNECTION_INFO_SIZE,
                                 fallback, ENUM_CONNECTION_INFO_SIZE, &got, NULL)) {
                ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
                EnumFree(fallback);
                FreePortBuffers(info, infoV2, connector, NULL, NULL, NULL, NULL);
                continue;
            }
            info->ConnectionIndex = fallback->ConnectionIndex;
            info->DeviceDescriptor = fallback->DeviceDescriptor;
            info->CurrentConfigurationValue = fallback->CurrentConfigurationValue;
            info->Speed = fallback->LowSpeed ? UsbLowSpeed : UsbFullSpeed;
            info->DeviceIsHub = fallback->DeviceIsHub;
            info->DeviceAddress = fallback->DeviceAddress;
            info->NumberOfOpenPipes = fallback->NumberOfOpenPipes;
            info->ConnectionStatus = fallback->ConnectionStatus;
            memcpy((PBYTE)info + sizeof(USB_NODE_CONNECTION_INFORMATION_EX),
                   (PBYTE)fallback + sizeof(USB_NODE_CONNECTION_INFORMATION), 30 * sizeof(USB_PIPE_INFO));
            EnumFree(fallback);
        }
        fallback = NULL;

        if (info->ConnectionStatus == DeviceConnected)
            connectedDeviceCount++;

        if (info->ConnectionStatus != NoDeviceConnected) {
            driverKey = GetDriverKeyName(hub, port);
            if (driverKey && strlen(driverKey) < ENUM_MAX_NAME_CHARS) {
                props = DriverNameToDeviceProperties(driverKey, strlen(driverKey));
                portNode = FindNodeInList(info->DeviceIsHub ? &usbHubList : &usbDeviceList, driverKey);
                if (portNode)
                    portNode->Parent = node;
            }
            EnumFree(driverKey);
            driverKey = NULL;
        }

        if (info->ConnectionStatus == DeviceConnected) {
            configDesc = GetConfigDescriptor(hub, port, 0);
            if (configDesc) {
                PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)(configDesc + 1);
                if (info->DeviceDescriptor.bcdUSB > 0x0200)
                    bosDesc = GetBOSDescriptor(hub, port);
                if (AreThereStringDescriptors(&info->DeviceDescriptor, config))
                    strings = GetAllStringDescriptors(hub, port, &info->DeviceDescriptor, config);
            }
        }

        if (info->DeviceIsHub) {
            hubName = GetExternalHubName(hub, port);
            if (hubName && strlen(hubName) < ENUM_MAX_NAME_CHARS) {
                EnumerateHub(portNode, hubName, strlen(hubName), info, infoV2, connector, configDesc, bosDesc, strings,
                             props);
            } else {
                EnumFree(hubName);
                FreePortBuffers(info, infoV2, connector, configDesc, bosDesc, strings, props);
            }
            hubName = NULL;
            continue;
        }

        device = (PDeviceRecord)EnumAlloc(sizeof(DeviceRecord));
        if (!device) {
            ENUM_LOG("memory not enough");
            FreePortBuffers(info, infoV2, connector, configDesc, bosDesc, strings, props);
            return;
        }
        device->Kind = Device;
        device->ConnectionInfo = info;
        device->PortConnectorProps = connector;
        device->ConfigDesc = configDesc;
        device->BosDesc = bosDesc;
        device->StringDescs = strings;
        device->ConnectionInfoV2 = infoV2;
        device->Properties = props;
        if (portNode && !portNode->Device)
            portNode->Device = device;
        else
            FreeDeviceNode(device); /* no node, or a device met twice: its first record stays */
    }
}

static void UnlinkController(PHostControllerRecord record) {
    record->Prev->Next = record->Next;
    record->Next->Prev = record->Prev;
    record->Next = record->Prev = record;
}

void FreeDeviceNode(PVOID record) {
    PHostControllerRecord controller = NULL;
    PRootHubRecord root = NULL;
    PExternalHubRecord external = NULL;

    if (!record)
        return;
    switch (*(PULONG)record) {
    case HostController:
        controller = (PHostControllerRecord)record;
        if (controller->Next && controller->Prev)
            UnlinkController(controller);
        EnumFree(controller->DriverKey);
        EnumFree(controller->ControllerInfo);
        DiscardDevicePropertiesRecord(&controller->Properties);
        break;
    case RootHub:
        root = (PRootHubRecord)record;
        EnumFree(root->HubInfo);
        EnumFree(root->HubInfoEx);
        EnumFree(root->HubName);
        EnumFree(root->PortConnectorProps);
        DiscardDevicePropertiesRecord(&root->Properties);
        EnumFree(root->HubCapabilityEx);
        break;
    case ExternalHub:
    case Device:
        external = (PExternalHubRecord)record;
        EnumFree(external->HubInfo);
        EnumFree(external->HubInfoEx);
        EnumFree(external->HubName);
        EnumFree(external->ConnectionInfo);
        EnumFree(external->PortConnectorProps);
        EnumFree(external->ConfigDesc);
        EnumFree(external->BosDesc);
        FreeStringDescriptors(external->StringDescs);
        EnumFree(external->ConnectionInfoV2);
        DiscardDevicePropertiesRecord(&external->Properties);
        EnumFree(external->HubCapabilityEx);
        break;
    default:
        break;
    }
    EnumFree(record);
}
