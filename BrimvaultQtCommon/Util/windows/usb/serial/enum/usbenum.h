/* USB tree enumerator: walks every host controller, hub and port of the machine and answers which serial number a
   USB device reports in its own string descriptors. Plain C style, no Qt: 8-bit text in the system code page, every
   block from one heap. One thread at a time runs the sequence
   UsbEnumInit, EnumerateHostControllers, GetSerialNumberByInstanceId, UsbEnumFree, UsbEnumCleanup, UsbEnumFinish. */
#pragma once

#include <windows.h>

/* Takes the process heap and empties the three device lists. Must come first. */
void UsbEnumInit(void);

/* Refills the device lists and walks every host controller below them. Returns the number of ports found with a
   connected device (hubs included) and stores it through DevicesConnected when that is not NULL. */
ULONG EnumerateHostControllers(ULONG *DevicesConnected);

/* Serial number, in the system code page, of the USB device with this instance id, or of the composite device
   above it. Never NULL: "" when none is found. The caller frees the result with UsbEnumFree. */
PCHAR GetSerialNumberByInstanceId(PCSTR InstanceId);

/* Returns one block of the module to its heap; TRUE on success. NULL is accepted. */
BOOL UsbEnumFree(PVOID Block);

/* Frees every list node and record the enumeration made. */
void UsbEnumCleanup(void);

/* Called last; nothing is left to do by then. */
void UsbEnumFinish(void);
