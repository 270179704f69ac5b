// The USB enumerator's descriptor walks over what a device supplies: the input becomes one device on a hub port of
// the stand-in (device descriptor, configuration set, string descriptors, and byte counts the device reports), and
// the walks must neither crash nor hang, and must give back every block they took.
//
// Input: 18 bytes of device descriptor, a 16-bit length and that many bytes of configuration set, then string
// records of [index][length][reported byte count, 0 = honest][length bytes].
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Util/windows/usb/serial/enum/usbenum_internal.h"
#include "emu/emu.h"
#include "emu/heap.h"
#include "emu/usb.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string topology(const uint8_t *data, size_t size) {
  uint8_t device[18] = {};
  size_t at = size < 18 ? size : 18;
  memcpy(device, data, at);
  size_t configLength = 0;
  if (at + 2 <= size) {
    configLength = data[at] | (data[at + 1] << 8);
    at += 2;
  }
  if (configLength > size - at) configLength = size - at;
  std::string config = hex(data + at, configLength);
  at += configLength;
  std::string strings, returned;
  while (at + 3 <= size) {
    unsigned index = data[at], length = data[at + 1], reported = data[at + 2];
    at += 3;
    if (length > size - at) length = static_cast<unsigned>(size - at);
    strings += (strings.empty() ? "" : ",") + std::string("\"") + std::to_string(index) + "\":\"" +
               hex(data + at, length) + "\"";
    if (reported)
      returned += (returned.empty() ? "" : ",") + std::string("\"") + std::to_string(index) + "\":" +
                  std::to_string(reported);
    at += length;
  }
  return R"({"controllers":[{"device":"PCI\\VEN_1&DEV_2&SUBSYS_3&REV_4\\5","rootHub":{"name":"FUZZHUB","ports":[)"
         R"({"device":"USB\\VID_1&PID_2\\3","driverKey":"k","descriptor":")" +
         hex(device, 18) + R"(","configuration":")" + config + R"(","strings":{)" + strings +
         R"(},"faults":{"stringReturned":{)" + returned + "}}}]}}]}";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!emu::usb::setTopologyOverride(topology(data, size))) return 0;
  UsbEnumInit();
  const size_t before = emu::heapLiveBlocks(GetProcessHeap());
  HANDLE hub = CreateFileA("\\\\.\\FUZZHUB", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hub == INVALID_HANDLE_VALUE) abort();
  USB_DEVICE_DESCRIPTOR device;
  memset(&device, 0, sizeof(device));
  memcpy(&device, data, size < sizeof(device) ? size : sizeof(device));

  PUSB_DESCRIPTOR_REQUEST config = GetConfigDescriptor(hub, 1, 0);
  if (config) {
    PUSB_CONFIGURATION_DESCRIPTOR set = (PUSB_CONFIGURATION_DESCRIPTOR)(config + 1);
    PStringDescriptorEntry chain = NULL;
    if (AreThereStringDescriptors(&device, set)) chain = GetAllStringDescriptors(hub, 1, &device, set);
    // What the serial lookup does with the chain.
    for (PStringDescriptorEntry e = chain; e; e = e->Next) {
      PCHAR text = WideToAnsi((const WCHAR *)((PBYTE)e->StringDescriptor + 2), e->StringDescriptor[0].bLength - 2u);
      UsbEnumFree(text);
    }
    FreeStringDescriptors(chain);
    UsbEnumFree(config);
  }
  UsbEnumFree(GetBOSDescriptor(hub, 1));
  CloseHandle(hub);
  if (emu::heapLiveBlocks(GetProcessHeap()) != before) {
    fprintf(stderr, "fuzz_usbdescriptors: blocks left behind\n");
    abort();
  }
  emu::usb::clearRequests(); // the stand-in's journals would otherwise grow with every input
  emu::clearCallJournal();
  return 0;
}
