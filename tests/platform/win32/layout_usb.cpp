// USB records, IOCTL codes and constants of the hub and host-controller drivers; compiles against the stand-in and
// mingw-w64.
#include <windows.h>
#include <usbioctl.h>
#include <usb.h>
#include <usbuser.h>
#include <usbspec.h>

#include <cstddef>

static_assert(IOCTL_USB_GET_NODE_INFORMATION == 0x220408 && IOCTL_USB_GET_ROOT_HUB_NAME == 0x220408 &&
                  IOCTL_USB_GET_NODE_CONNECTION_INFORMATION == 0x22040C &&
                  IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION == 0x220410 &&
                  IOCTL_USB_GET_NODE_CONNECTION_NAME == 0x220414 &&
                  IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME == 0x220420 && IOCTL_GET_HCD_DRIVERKEY_NAME == 0x220424 &&
                  IOCTL_USB_USER_REQUEST == 0x220438 && IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == 0x220448 &&
                  IOCTL_USB_GET_HUB_CAPABILITIES_EX == 0x220450 && IOCTL_USB_GET_HUB_INFORMATION_EX == 0x220454 &&
                  IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES == 0x220458 &&
                  IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 == 0x22045C,
              "IOCTL codes");
static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2 && sizeof(USB_DEVICE_DESCRIPTOR) == 18 &&
                  sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 && sizeof(USB_INTERFACE_DESCRIPTOR) == 9 &&
                  sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7 &&
                  sizeof(USB_STRING_DESCRIPTOR) == 4 && sizeof(USB_BOS_DESCRIPTOR) == 5 &&
                  sizeof(USB_HUB_DESCRIPTOR) == 71 && sizeof(USB_30_HUB_DESCRIPTOR) == 12,
              "descriptor sizes");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2 && offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8 &&
                  offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer) == 14 &&
                  offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16 &&
                  offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2 &&
                  offsetof(USB_CONFIGURATION_DESCRIPTOR, iConfiguration) == 6 &&
                  offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceClass) == 5 &&
                  offsetof(USB_INTERFACE_DESCRIPTOR, iInterface) == 8 &&
                  offsetof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR, iFunction) == 7 &&
                  offsetof(USB_HUB_DESCRIPTOR, bNumberOfPorts) == 2,
              "descriptor offsets");
static_assert(USB_DEVICE_DESCRIPTOR_TYPE == 1 && USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 &&
                  USB_STRING_DESCRIPTOR_TYPE == 3 && USB_INTERFACE_DESCRIPTOR_TYPE == 4 &&
                  USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE == 7 &&
                  USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE == 0x0B && USB_BOS_DESCRIPTOR_TYPE == 0x0F &&
                  USB_DEVICE_CLASS_VIDEO == 0x0E,
              "descriptor types");
static_assert(UsbLowSpeed == 0 && UsbFullSpeed == 1 && UsbHighSpeed == 2 && UsbSuperSpeed == 3 &&
                  NoDeviceConnected == 0 && DeviceConnected == 1 && DeviceReset == 10 && UsbHub == 0 &&
                  UsbMIParent == 1 && UsbRootHub == 1 && Usb30Hub == 3,
              "speeds, connection states, node and hub types");
static_assert(sizeof(USB_NODE_INFORMATION) == 76 && sizeof(USB_HUB_INFORMATION) == 72 &&
                  offsetof(USB_NODE_INFORMATION, u) == 4 && sizeof(USB_HUB_INFORMATION_EX) == 77 &&
                  offsetof(USB_HUB_INFORMATION_EX, u) == 6 && sizeof(USB_HUB_CAPABILITIES_EX) == 4,
              "hub records");
static_assert(sizeof(USB_PORT_CONNECTOR_PROPERTIES) == 18 &&
                  offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionIndex) == 12 &&
                  offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionHubSymbolicLinkName) == 16 &&
                  sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2) == 16 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX_V2, Flags) == 12,
              "port records");
static_assert(sizeof(USB_PIPE_INFO) == 11 && sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == 35 &&
                  sizeof(USB_NODE_CONNECTION_INFORMATION) == 35 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) == 4 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, Speed) == 23 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed) == 23 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceIsHub) == 24 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceAddress) == 25 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, NumberOfOpenPipes) == 27 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) == 31 &&
                  offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) == 35,
              "connection records");
static_assert(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == 10 && sizeof(USB_NODE_CONNECTION_NAME) == 10 &&
                  offsetof(USB_NODE_CONNECTION_NAME, NodeName) == 8 && sizeof(USB_ROOT_HUB_NAME) == 6 &&
                  sizeof(USB_HCD_DRIVERKEY_NAME) == 6 && offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName) == 4,
              "name records");
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12 && offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket) == 4 &&
                  offsetof(USB_DESCRIPTOR_REQUEST, Data) == 12,
              "descriptor request");
static_assert(sizeof(USBUSER_REQUEST_HEADER) == 16 && sizeof(USB_POWER_INFO) == 34 &&
                  sizeof(USBUSER_POWER_INFO_REQUEST) == 50 && sizeof(USB_CONTROLLER_INFO_0) == 24 &&
                  sizeof(USBUSER_CONTROLLER_INFO_0) == 40 && offsetof(USB_POWER_INFO, CanWakeup) == 32,
              "user request records");
static_assert(USBUSER_GET_CONTROLLER_INFO_0 == 1 && USBUSER_GET_POWER_STATE_MAP == 4 &&
                  WdmUsbPowerSystemWorking == 101 && WdmUsbPowerSystemShutdown == 106 && UsbUserSuccess == 0,
              "user request codes");
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24 && OPEN_EXISTING == 3 &&
                  FILE_SHARE_WRITE == 2 && GENERIC_WRITE == 0x40000000,
              "device open");
static_assert(WC_NO_BEST_FIT_CHARS == 0x400 && WC_ERR_INVALID_CHARS == 0x80 && WC_DEFAULTCHAR == 0x40 &&
                  MB_ERR_INVALID_CHARS == 8 && CP_UTF8 == 65001 && ERROR_NO_UNICODE_TRANSLATION == 1113,
              "code page flags");
