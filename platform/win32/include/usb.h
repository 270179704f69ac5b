// Stand-in for the Windows SDK's usb.h: the status and controller types that usbuser.h's records use.
#pragma once
#include "usbspec.h"

typedef LONG USBD_STATUS;

typedef enum _USB_CONTROLLER_FLAVOR {
  USB_HcGeneric = 0,
  OHCI_Generic = 100,
  UHCI_Generic = 200,
  EHCI_Generic = 1000
} USB_CONTROLLER_FLAVOR;
