// Stand-in for the Windows SDK's usbiodef.h: USB device interface classes and the IOCTL function codes.
#pragma once
#include "bvwin/base.h"

#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB 0x00000022
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif
#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif

#define USB_GET_NODE_INFORMATION 258
#define USB_GET_NODE_CONNECTION_INFORMATION 259
#define USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION 260
#define USB_GET_NODE_CONNECTION_NAME 261
#define USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 264
#define USB_GET_NODE_CONNECTION_INFORMATION_EX 274
#define USB_GET_HUB_CAPABILITIES_EX 276
#define USB_GET_HUB_INFORMATION_EX 277
#define USB_GET_PORT_CONNECTOR_PROPERTIES 278
#define USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 279
#define HCD_GET_ROOT_HUB_NAME 258
#define HCD_GET_DRIVERKEY_NAME 265
#define HCD_USER_REQUEST 270

// Interface classes; the values are the documented ones.
inline constexpr GUID GUID_DEVINTERFACE_USB_HUB = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
inline constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HOST_CONTROLLER = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
