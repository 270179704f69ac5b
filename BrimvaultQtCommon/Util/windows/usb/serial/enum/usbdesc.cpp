/* Descriptor requests of the USB tree enumerator: the configuration set, the BOS set and string descriptors in
   every language a device offers, each asked of the hub the device hangs on. */
#include "usbenum_internal.h"

#include <string.h>

#define ENUM_REQUEST_HEADER sizeof(USB_DESCRIPTOR_REQUEST)
#define ENUM_MAX_STRING_DESCRIPTOR 255

/* Indexes asked for while one chain is built: each is fetched at most once, a failed one included. */
typedef struct _IndexSet {
    UCHAR bits[32];
} IndexSet;

static BOOL IndexTried(IndexSet *set, UCHAR index) {
    BOOL tried = (set->bits[index / 8] >> (index % 8)) & 1;
    set->bits[index / 8] |= (UCHAR)(1u << (index % 8));
    return tried;
}

/* A descriptor set (configuration or BOS) in two requests; type and minimum name the set and its log lines. */
static PUSB_DESCRIPTOR_REQUEST GetDescriptorSet(HANDLE hub, ULONG port, USHORT wValue, USHORT minimum,
                                                const char *caller, const char *tooShort, const char *changed) {
    BYTE first[ENUM_REQUEST_HEADER + 9];
    PUSB_DESCRIPTOR_REQUEST request = (PUSB_DESCRIPTOR_REQUEST)first;
    PUSB_DESCRIPTOR_REQUEST full = NULL;
    DWORD firstSize = ENUM_REQUEST_HEADER + minimum;
    DWORD fullSize = 0;
    DWORD got = 0;
    USHORT total = 0;
    USHORT again = 0;

    memset(first, 0, sizeof(first));
    request->ConnectionIndex = port;
    request->SetupPacket.wValue = wValue;
    request->SetupPacket.wLength = minimum;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request, firstSize, request, firstSize,
                         &got, NULL)) {
        ENUM_LOG_AS(caller, "DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        return NULL;
    }
    if (got != firstSize) {
        ENUM_LOG_AS(caller, "nBytes(%d) != nBytesReturned(%d)", (int)firstSize, (int)got);
        return NULL;
    }
    memcpy(&total, first + ENUM_REQUEST_HEADER + 2, sizeof(total));
    if (total < minimum) {
        ENUM_LOG_AS(caller, tooShort, (int)total, (int)minimum);
        return NULL;
    }
    fullSize = ENUM_REQUEST_HEADER + total;
    full = (PUSB_DESCRIPTOR_REQUEST)EnumAlloc(fullSize);
    if (!full) {
        ENUM_LOG_AS(caller, "memory not enough");
        return NULL;
    }
    full->ConnectionIndex = port;
    full->SetupPacket.wValue = wValue;
    full->SetupPacket.wLength = total;
    got = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, full, fullSize, full, fullSize, &got,
                         NULL)) {
        ENUM_LOG_AS(caller, "DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        EnumFree(full);
        return NULL;
    }
    if (got != fullSize) {
        ENUM_LOG_AS(caller, "nBytes(%d) != nBytesReturned(%d)", (int)fullSize, (int)got);
        EnumFree(full);
        return NULL;
    }
    memcpy(&again, (PBYTE)full + ENUM_REQUEST_HEADER + 2, sizeof(again));
    if (again != total) {
        ENUM_LOG_AS(caller, changed, (int)again, (int)total);
        EnumFree(full);
        return NULL;
    }
    return full;
}

PUSB_DESCRIPTOR_REQUEST GetConfigDescriptor(HANDLE hub, ULONG port, UCHAR index) {
    return GetDescriptorSet(hub, port, (USHORT)((USB_CONFIGURATION_DESCRIPTOR_TYPE << 8) | index),
                            sizeof(USB_CONFIGURATION_DESCRIPTOR), "GetConfigDescriptor",
                            "configDesc->wTotalLength (%d) < sizeof(USB_CONFIGURATION_DESCRIPTOR) (%d)",
                            "configDesc->wTotalLength (%d) < (nBytes - sizeof(USB_DESCRIPTOR_REQUEST)) (%d)");
}

PUSB_DESCRIPTOR_REQUEST GetBOSDescriptor(HANDLE hub, ULONG port) {
    return GetDescriptorSet(hub, port, (USHORT)(USB_BOS_DESCRIPTOR_TYPE << 8), sizeof(USB_BOS_DESCRIPTOR),
                            "GetBOSDescriptor", "bosDesc->wTotalLength (%d) < sizeof(USB_BOS_DESCRIPTOR) (%d)",
                            "bosDesc->wTotalLength (%d) < (nBytes - sizeof(USB_DESCRIPTOR_REQUEST)) (%d)");
}

PStringDescriptorEntry GetStringDescriptor(HANDLE hub, ULONG port, UCHAR index, USHORT languageId) {
    BYTE buffer[ENUM_REQUEST_HEADER + ENUM_MAX_STRING_DESCRIPTOR];
    PUSB_DESCRIPTOR_REQUEST request = (PUSB_DESCRIPTOR_REQUEST)buffer;
    PUSB_STRING_DESCRIPTOR reply = (PUSB_STRING_DESCRIPTOR)(buffer + ENUM_REQUEST_HEADER);
    PStringDescriptorEntry entry = NULL;
    DWORD got = 0;

    memset(buffer, 0, sizeof(buffer));
    request->ConnectionIndex = port;
    request->SetupPacket.wValue = (USHORT)((USB_STRING_DESCRIPTOR_TYPE << 8) | index);
    request->SetupPacket.wIndex = languageId;
    request->SetupPacket.wLength = ENUM_MAX_STRING_DESCRIPTOR;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer, sizeof(buffer), buffer,
                         sizeof(buffer), &got, NULL)) {
        ENUM_LOG("DeviceIoControl failed with: 0x%x", (unsigned)GetLastError());
        return NULL;
    }
    /* The reply must hold at least the descriptor's own two-byte header, not just the request's. */
    if (got < ENUM_REQUEST_HEADER + 2 || got > sizeof(buffer)) {
        ENUM_LOG("nBytesReturned(%d) < 2", (int)got);
        return NULL;
    }
    if (reply->bDescriptorType != USB_STRING_DESCRIPTOR_TYPE) {
        ENUM_LOG("stringDesc->bDescriptorType (%d) != USB_STRING_DESCRIPTOR_TYPE(%d)", reply->bDescriptorType,
                 USB_STRING_DESCRIPTOR_TYPE);
        return NULL;
    }
    if (reply->bLength != got - ENUM_REQUEST_HEADER) {
        ENUM_LOG("stringDesc->bLength (%d) != nBytesReturned - sizeof(USB_DESCRIPTOR_REQUEST) (%d)", reply->bLength,
                 (int)(got - ENUM_REQUEST_HEADER));
        return NULL;
    }
    if (reply->bLength % 2 != 0) {
        ENUM_LOG("stringDesc->bLength(%d) %% 2 != 0", reply->bLength);
        return NULL;
    }
    entry = (PStringDescriptorEntry)EnumAlloc(sizeof(StringDescriptorEntry) + reply->bLength);
    if (!entry) {
        ENUM_LOG("memory not enough");
        return NULL;
    }
    entry->DescriptorIndex = index;
    entry->LanguageID = languageId;
    memcpy(entry->StringDescriptor, reply, reply->bLength);
    return entry;
}

void FreeStringDescriptors(PStringDescriptorEntry head) {
    PStringDescriptorEntry next = NULL;
    while (head) {
        next = head->Next;
        EnumFree(head);
        head = next;
    }
}

/* Appends the index in every language at the chain's tail; stops at the first fetch that fails. */
static HRESULT AppendIndex(HANDLE hub, ULONG port, UCHAR index, ULONG numLanguageIds, const USHORT *languageIds,
                           PStringDescriptorEntry head) {
    PStringDescriptorEntry tail = head;
    PStringDescriptorEntry entry = NULL;
    ULONG i = 0;

    while (tail->Next) {
        if (tail->DescriptorIndex == index)
            return S_OK;
        tail = tail->Next;
    }
    if (tail->DescriptorIndex == index)
        return S_OK;
    for (i = 0; i < numLanguageIds; i++) {
        entry = GetStringDescriptor(hub, port, index, languageIds[i]);
        if (!entry)
            return E_FAIL;
        tail->Next = entry;
        tail = entry;
    }
    return S_OK;
}

HRESULT AppendStringDescriptorsForIndex(HANDLE hub, ULONG port, UCHAR index, ULONG numLanguageIds,
                                        const USHORT *languageIds, PStringDescriptorEntry head) {
    if (!head)
        return E_FAIL;
    return AppendIndex(hub, port, index, numLanguageIds, languageIds, head);
}

/* Appends an index once per chain, however often descriptors name it or whether its first fetch failed. */
static HRESULT AppendOnce(HANDLE hub, ULONG port, UCHAR index, ULONG numLanguageIds, const USHORT *languageIds,
                          PStringDescriptorEntry head, IndexSet *tried) {
    if (IndexTried(tried, index))
        return S_OK;
    return AppendIndex(hub, port, index, numLanguageIds, languageIds, head);
}

/* The next descriptor of a configuration set, or NULL at its end. A descriptor shorter than its own header
   would never move the walk on, so it ends the walk. */
static PUSB_COMMON_DESCRIPTOR NextDescriptor(PUSB_COMMON_DESCRIPTOR current, PBYTE end, const char *caller) {
    PBYTE next = NULL;
    if (current->bLength < sizeof(USB_COMMON_DESCRIPTOR)) {
        ENUM_LOG_AS(caller, "commonDesc->bLength (%d) < sizeof(USB_COMMON_DESCRIPTOR) (%d)", current->bLength,
                    (int)sizeof(USB_COMMON_DESCRIPTOR));
        return NULL;
    }
    next = (PBYTE)current + current->bLength;
    if (next + sizeof(USB_COMMON_DESCRIPTOR) > end)
        return NULL;
    return (PUSB_COMMON_DESCRIPTOR)next;
}

/* The first descriptor of the set, NULL when the set has no room for one. */
static PUSB_COMMON_DESCRIPTOR FirstDescriptor(PUSB_CONFIGURATION_DESCRIPTOR config, PBYTE *end) {
    if (config->wTotalLength <= 2)
        return NULL;
    *end = (PBYTE)config + config->wTotalLength;
    return (PUSB_COMMON_DESCRIPTOR)config;
}

#define INTERFACE_LENGTH_ERROR                                                                                        \
    "commonDesc->bLength (%d) != sizeof(USB_INTERFACE_DESCRIPTOR) (%d)&& commonDesc->bLength (%d) != "                \
    "sizeof(USB_INTERFACE_DESCRIPTOR2)(%d)"

PStringDescriptorEntry GetAllStringDescriptors(HANDLE hub, ULONG port, PUSB_DEVICE_DESCRIPTOR deviceDesc,
                                               PUSB_CONFIGURATION_DESCRIPTOR configDesc) {
    PStringDescriptorEntry head = NULL;
    PUSB_COMMON_DESCRIPTOR common = NULL;
    PBYTE end = NULL;
    USHORT languages[ENUM_MAX_STRING_DESCRIPTOR / 2];
    ULONG numLanguages = 0;
    BOOL classStrings = FALSE;
    IndexSet tried;
    UCHAR index = 0;

    memset(&tried, 0, sizeof(tried));
    head = GetStringDescriptor(hub, port, 0, 0);
    if (!head)
        return NULL;
    IndexTried(&tried, 0);
    /* bLength is at least 2 here; the ids are copied out since the entry keeps them unaligned. */
    numLanguages = (head->StringDescriptor[0].bLength - 2) / 2;
    memcpy(languages, (PBYTE)head->StringDescriptor + 2, numLanguages * sizeof(USHORT));

    if (deviceDesc->iManufacturer)
        AppendOnce(hub, port, deviceDesc->iManufacturer, numLanguages, languages, head, &tried);
    if (deviceDesc->iProduct)
        AppendOnce(hub, port, deviceDesc->iProduct, numLanguages, languages, head, &tried);
    if (deviceDesc->iSerialNumber)
        AppendOnce(hub, port, deviceDesc->iSerialNumber, numLanguages, languages, head, &tried);

    for (common = FirstDescriptor(configDesc, &end); common; common = NextDescriptor(common, end, __func__)) {
        if ((PBYTE)common + common->bLength > end)
            break;
        if (common->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            if (common->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                ENUM_LOG("commonDesc->bLength (%d) != sizeof(USB_CONFIGURATION_DESCRIPTOR)(%d)", common->bLength,
                         (int)sizeof(USB_CONFIGURATION_DESCRIPTOR));
                break;
            }
            if (((PUSB_CONFIGURATION_DESCRIPTOR)common)->iConfiguration)
                AppendOnce(hub, port, ((PUSB_CONFIGURATION_DESCRIPTOR)common)->iConfiguration, numLanguages, languages,
                           head, &tried);
        } else if (common->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            if (common->bLength < sizeof(USB_IAD_DESCRIPTOR)) {
                ENUM_LOG("commonDesc->bLength (%d) < sizeof(USB_IAD_DESCRIPTOR)(%d)", common->bLength,
                         (int)sizeof(USB_IAD_DESCRIPTOR));
                break;
            }
            if (((PUSB_IAD_DESCRIPTOR)common)->iFunction)
                AppendOnce(hub, port, ((PUSB_IAD_DESCRIPTOR)common)->iFunction, numLanguages, languages, head, &tried);
        } else if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (common->bLength != sizeof(USB_INTERFACE_DESCRIPTOR) &&
                common->bLength != sizeof(USB_INTERFACE_DESCRIPTOR2)) {
                ENUM_LOG(INTERFACE_LENGTH_ERROR, common->bLength, (int)sizeof(USB_INTERFACE_DESCRIPTOR),
                         common->bLength, (int)sizeof(USB_INTERFACE_DESCRIPTOR2));
                break;
            }
            if (((PUSB_INTERFACE_DESCRIPTOR)common)->iInterface)
                AppendOnce(hub, port, ((PUSB_INTERFACE_DESCRIPTOR)common)->iInterface, numLanguages, languages, head,
                           &tried);
            if (((PUSB_INTERFACE_DESCRIPTOR)common)->bInterfaceClass == USB_DEVICE_CLASS_VIDEO)
                classStrings = TRUE;
        }
    }

    if (classStrings) {
        for (index = 1; index < 32; index++) {
            if (IndexTried(&tried, index))
                continue;
            if (AppendIndex(hub, port, index, numLanguages, languages, head) != S_OK)
                break;
        }
    }
    return head;
}

BOOL AreThereStringDescriptors(PUSB_DEVICE_DESCRIPTOR deviceDesc, PUSB_CONFIGURATION_DESCRIPTOR configDesc) {
    PUSB_COMMON_DESCRIPTOR common = NULL;
    PBYTE end = NULL;

    if (deviceDesc->iManufacturer || deviceDesc->iProduct || deviceDesc->iSerialNumber)
        return TRUE;
    for (common = FirstDescriptor(configDesc, &end); common; common = NextDescriptor(common, end, __func__)) {
        if ((PBYTE)common + common->bLength > end)
            break;
        if (common->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            common->bDescriptorType == USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE) {
            if (common->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                ENUM_LOG("commonDesc->bLength (%d) != sizeof(USB_CONFIGURATION_DESCRIPTOR)(%d)", common->bLength,
                         (int)sizeof(USB_CONFIGURATION_DESCRIPTOR));
                return FALSE;
            }
            if (((PUSB_CONFIGURATION_DESCRIPTOR)common)->iConfiguration)
                return TRUE;
        } else if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (common->bLength != sizeof(USB_INTERFACE_DESCRIPTOR) &&
                common->bLength != sizeof(USB_INTERFACE_DESCRIPTOR2)) {
                ENUM_LOG(INTERFACE_LENGTH_ERROR, common->bLength, (int)sizeof(USB_INTERFACE_DESCRIPTOR),
                         common->bLength, (int)sizeof(USB_INTERFACE_DESCRIPTOR2));
                return FALSE;
            }
            if (((PUSB_INTERFACE_DESCRIPTOR)common)->iInterface)
                return TRUE;
        }
    }
    return FALSE;
}
