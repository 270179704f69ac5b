// The USB tree enumerator on the shared fixture machine, and on hubs and devices that misbehave: every decided
// fault has a case that the code as first described would fail (by a wrong answer, a hang, a double free or an
// out-of-bounds read under ASan).
#include <gtest/gtest.h>

#include "Util/windows/usb/serial/enum/usbenum_internal.h"

#include <cfgmgr32.h>
#include <devpkey.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <functional>
#include <string>

#include "emu/devices.h"
#include "emu/emu.h"
#include "emu/heap.h"
#include "emu/usb.h"
#include "logcapture.h"

namespace {

const char *kComposite = "USB\\VID_1209&PID_B701\\BRIM00042";
const char *kDiagnostics = "USB\\VID_1209&PID_B701&MI_01\\6&2F3A4B5C&0&0001";
const char *kPhone = "USB\\VID_1209&PID_B702\\RZ8N40ABCDE";
const char *kSensor = "USB\\VID_1209&PID_B704\\6&3A1F2B&0&1";
const char *kIntelController = "PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10\\3&11583659&0&A0";
const char *kAmdController = "PCI\\VEN_1022&DEV_149C&SUBSYS_7C561462&REV_00\\4&1C2D3E4F&0&0341";
const char *kExternalHub = "USB#VID_05E3&PID_0610#5&1A2B3C4D&0&4#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const char *kIntelRootHub = "USB#ROOT_HUB30#4&2A2B3C4D&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

QJsonObject fixture() {
  QFile f(BV_DEVICE_FIXTURES "/machine.json");
  f.open(QIODevice::ReadOnly);
  return QJsonDocument::fromJson(f.readAll()).object();
}

// Applies `change` to every object of the description whose `field` ("device" in the usb topology, "id" for a
// devnode) is `id`.
QJsonValue edit(const QJsonValue &v, const QString &id, const std::function<void(QJsonObject &)> &change,
                const QString &field = "device") {
  if (v.isArray()) {
    QJsonArray a = v.toArray();
    for (int i = 0; i < a.size(); ++i) a[i] = edit(a[i], id, change, field);
    return a;
  }
  if (!v.isObject()) return v;
  QJsonObject o = v.toObject();
  for (auto it = o.begin(); it != o.end(); ++it) *it = edit(it.value(), id, change, field);
  if (o.value(field).toString() == id) change(o);
  return o;
}

std::string utf16Hex(const std::u16string &text) { // a string descriptor
  std::string out;
  char byte[4];
  std::snprintf(byte, sizeof(byte), "%02x", static_cast<unsigned>(2 + 2 * text.size()));
  out += byte;
  out += "03";
  for (char16_t c : text) {
    std::snprintf(byte, sizeof(byte), "%02x", c & 0xFF);
    out += byte;
    std::snprintf(byte, sizeof(byte), "%02x", c >> 8);
    out += byte;
  }
  return out;
}

class UsbEnum : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    load(fixture());
    emu::clearFailures();
    emu::clearCallJournal();
    emu::usb::clearRequests();
    emu::usb::resetMaxOpenHandles();
    blocks_ = emu::heapLiveBlocks(GetProcessHeap());
    invalidFrees_ = emu::heapInvalidFrees();
    UsbEnumInit();
    logcapture::mark();
  }
  void TearDown() override {
    emu::clearFailures();
    UsbEnumCleanup();
    UsbEnumFinish();
    EXPECT_EQ(emu::heapLiveBlocks(GetProcessHeap()), blocks_) << "blocks left behind";
    EXPECT_EQ(emu::heapInvalidFrees(), invalidFrees_) << "a block freed twice or by the wrong heap";
    EXPECT_EQ(emu::usb::openHandles(), 0u);
  }
  void load(const QJsonObject &description) {
    std::string error;
    ASSERT_TRUE(emu::dev::loadJson(QJsonDocument(description).toJson().toStdString(), BV_DEVICE_FIXTURES, &error))
        << error;
  }
  void change(const char *id, const std::function<void(QJsonObject &)> &f, const char *field = "device") {
    load(edit(fixture(), id, f, field).toObject());
  }
  void faults(const char *id, const QJsonObject &f) {
    change(id, [&](QJsonObject &o) { o["faults"] = f; });
  }
  static std::string serialOf(const char *id) {
    PCHAR s = GetSerialNumberByInstanceId(id);
    std::string out = s ? s : "<null>";
    EXPECT_TRUE(UsbEnumFree(s));
    return out;
  }
  // Lines with this text; given a function, only error lines logged under that name.
  static size_t count(const std::string &message, const char *function = nullptr) {
    size_t n = 0;
    for (const logcapture::Line &l : logcapture::sinceMark())
      n += l.message == message && (!function || (l.level == "E" && l.function == function));
    return n;
  }
  static size_t listLength(const DeviceList &list) {
    size_t n = 0;
    for (PDeviceListNode node = list.ListHead.Next; node != &list.ListHead; node = node->Next) ++n;
    return n;
  }
  static size_t requestsFor(DWORD ioctl, USHORT wValue = 0, ULONG port = 0, const char *device = nullptr) {
    size_t n = 0;
    for (const auto &r : emu::usb::requests())
      n += r.ioctl == ioctl && (wValue == 0 || r.wValue == wValue) && (port == 0 || r.port == port) &&
           (!device || r.device == device);
    return n;
  }
  size_t blocks_ = 0, invalidFrees_ = 0;
};

TEST_F(UsbEnum, SerialOfACompositeFunctionComesFromTheDeviceAboveIt) {
  ULONG connected = 0;
  EXPECT_EQ(EnumerateHostControllers(&connected), 6u); // external hub, sensor, composite, bridge, phone, keypad
  EXPECT_EQ(connected, 6u);
  EXPECT_EQ(serialOf(kDiagnostics), "BRIM00042");
  EXPECT_EQ(serialOf("usb\\vid_1209&pid_b701\\brim00042"), "BRIM00042");
  EXPECT_EQ(serialOf(kPhone), "RZ8N40ABCDE");
  EXPECT_EQ(serialOf(kSensor), ""); // iSerialNumber 0
  EXPECT_EQ(serialOf(""), "");
  EXPECT_EQ(serialOf(nullptr), "");

  PDeviceListNode phone = FindDeviceInfoNodeByDriverKey(emu::dev::findNode(kPhone)->driverKey.c_str(), Device);
  ASSERT_NE(phone, nullptr);
  ASSERT_NE(phone->Device, nullptr);
  EXPECT_EQ(phone->Device->ConnectionInfo->Speed, UsbSuperSpeed); // high speed in EX, SuperSpeed in the V2 flags
  EXPECT_NE(phone->Device->BosDesc, nullptr);
  EXPECT_NE(phone->Parent, nullptr);
  EXPECT_EQ(FindDeviceInfoNodeByDriverKey(phone->DeviceDriverName, 4), nullptr);
  EXPECT_EQ(count("SetupDiEnumDeviceInfo failed: 0x103"), 0u);
}

TEST_F(UsbEnum, AChildIdThatFillsTheWholeIdBufferStillEnds) {
  // 200 characters: CM_Get_Device_IDA fills a buffer of MAX_DEVICE_ID_LEN and leaves no room for the terminator.
  std::string longId = "USB\\VID_1209&PID_B701&MI_01\\";
  longId.resize(MAX_DEVICE_ID_LEN, 'A');
  change(kDiagnostics, [&](QJsonObject &o) { o["id"] = QString::fromStdString(longId); }, "id");
  EnumerateHostControllers(nullptr);
  EXPECT_EQ(serialOf(longId.c_str()), "BRIM00042");
}

TEST_F(UsbEnum, EmptyIdBeforeAnyInitComesFromTheProcessHeap) {
  enumHeap = NULL; // as at program load
  PCHAR s = GetSerialNumberByInstanceId("");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  EXPECT_TRUE(UsbEnumFree(s));
}

TEST_F(UsbEnum, AListFillEndsOnAnyEnumerationFailureWithOneLine) {
  emu::injectFailure("SetupDiEnumDeviceInterfaces", ERROR_INVALID_HANDLE);
  EnumerateAllDevicesWithGuid(&usbDeviceList, &EnumGuidUsbDevice); // would otherwise go on for 2^32 indexes
  EXPECT_EQ(listLength(usbDeviceList), 0u);
  const std::vector<logcapture::Line> lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, "E");
  EXPECT_EQ(lines[0].function, "EnumerateAllDevicesWithGuid");
  EXPECT_EQ(lines[0].message, "SetupDiEnumDeviceInterfaces failed: 0x6");
}

TEST_F(UsbEnum, ADeviceWhosePropertiesCannotBeReadIsLeftOutAlone) {
  EnumerateAllDevicesWithGuid(&usbDeviceList, &EnumGuidUsbDevice);
  const size_t all = listLength(usbDeviceList);
  ASSERT_GE(all, 3u);
  emu::injectFailure("SetupDiGetDeviceRegistryPropertyA", ERROR_INVALID_DATA, 1); // the first device's description
  EnumerateAllDevicesWithGuid(&usbDeviceList, &EnumGuidUsbDevice);
  EXPECT_EQ(listLength(usbDeviceList), all - 1);
  EXPECT_EQ(count("GetDeviceProperty failed", "EnumerateAllDevicesWithGuid"), 1u);
}

TEST_F(UsbEnum, ADeviceWithTwoInterfacesIsListedOnceAndTheDevicesAfterItStillAre) {
  // A second interface of the class on the first of three USB devices and on the first of two controllers (the
  // phone hangs on the second).
  auto second = [](const char *guid, const char *link) {
    return [=](QJsonObject &o) { o["interfaces"] = QJsonArray{guid, QJsonObject{{"class", guid}, {"link", link}}}; };
  };
  load(edit(edit(fixture(), kComposite,
                 second("{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "\\\\?\\USB#VID_1209&PID_B701#BRIM00042#second"),
                 "id")
                .toObject(),
            kIntelController, second("{3abf6f2d-71c4-462a-8a92-1e6861e6af27}", "\\\\?\\PCI#VEN_8086&DEV_A36D#second"),
            "id")
           .toObject());
  EnumerateHostControllers(NULL);
  EXPECT_EQ(listLength(usbDeviceList), 3u); // composite, sensor, phone
  for (PDeviceListNode n = usbDeviceList.ListHead.Next; n != &usbDeviceList.ListHead; n = n->Next) {
    auto owner = emu::dev::findInterfaceOwner(n->DeviceDetailData->DevicePath);
    ASSERT_TRUE(owner.has_value()) << n->DeviceDetailData->DevicePath;
    EXPECT_EQ(_stricmp(owner->driverKey.c_str(), n->DeviceDriverName), 0) << n->DeviceDetailData->DevicePath;
  }
  EXPECT_EQ(serialOf(kDiagnostics), "BRIM00042");
  EXPECT_EQ(serialOf(kPhone), "RZ8N40ABCDE"); // the last device of the set
}

TEST_F(UsbEnum, ClearingTheControllerListLeavesNoNodeHoldingAFreedRecord) {
  EnumerateHostControllers(NULL);
  ClearEnumeratedDevices();
  EXPECT_EQ(EnumControllers()->Next, &enumeratedControllers);
  // TearDown's cleanup then frees every node: each record once (counted by the heap).
}

TEST_F(UsbEnum, PropertyTextWithoutItsTerminatorStillEnds) {
  const std::u16string text = u"Brimvault Link";
  ASSERT_TRUE(emu::dev::setProperty(kComposite, DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING,
                                    std::string(reinterpret_cast<const char *>(text.data()), text.size() * 2)));
  const std::string key = emu::dev::findNode(kComposite)->driverKey;
  PDeviceProperties props = DriverNameToDeviceProperties(key.c_str(), key.size());
  ASSERT_NE(props, nullptr);
  EXPECT_STREQ(props->DeviceDesc, "Brimvault Link");
  EXPECT_STREQ(props->DeviceId, kComposite);
  DiscardDevicePropertiesRecord(&props);
  EXPECT_EQ(props, nullptr);
}

TEST_F(UsbEnum, WideToAnsiReadsNoFurtherThanItsOddCountAndHasNoBestFit) {
  const char16_t text[] = u"AB\u0100";
  auto *exact = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, 5)); // "AB" and half a character, non-zero
  std::memcpy(exact, "A\0B\0C", 5);
  PCHAR a = WideToAnsi(reinterpret_cast<const WCHAR *>(exact), 5);
  EXPECT_STREQ(a, "ABC"); // the half character ends with a zero byte, then the text ends
  UsbEnumFree(a);
  HeapFree(GetProcessHeap(), 0, exact);
  PCHAR b = WideToAnsi(reinterpret_cast<const WCHAR *>(text), 6);
  EXPECT_STREQ(b, "AB?");
  UsbEnumFree(b);
}

TEST_F(UsbEnum, InstanceIdIsReadOnlyAfterASizeQueryThatAskedForRoom) {
  const std::string key = emu::dev::findNode(kComposite)->driverKey;
  emu::injectFailure("SetupDiGetDeviceInstanceIdA", ERROR_INVALID_HANDLE, 1);
  emu::clearCallJournal();
  EXPECT_EQ(DriverNameToDeviceProperties(key.c_str(), key.size()), nullptr);
  auto calls = emu::callJournal();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetupDiGetDeviceInstanceIdA"), 1);
  EXPECT_EQ(count("SetupDiGetDeviceInstanceId failed: 0x6", "DriverNameToDeviceProperties"), 1u);
}

TEST_F(UsbEnum, NameRepliesWithImpossibleLengthsGiveNoName) {
  QJsonObject description = edit(edit(fixture(), kIntelController,
                                      [](QJsonObject &o) { o["faults"] = QJsonObject{{"driverKeyReturned", 2}}; })
                                     .toObject(),
                                 kAmdController,
                                 [](QJsonObject &o) { o["faults"] = QJsonObject{{"rootHubActualLength", 5}}; })
                                .toObject();
  load(description);
  EXPECT_EQ(EnumerateHostControllers(NULL), 0u);
  EXPECT_EQ(count("obtaining driver key name failed", "EnumerateHostController"), 1u);
  EXPECT_EQ(count("Failure obtaining root hub name", "EnumerateHostController"), 1u);
  EXPECT_EQ(requestsFor(IOCTL_USB_GET_ROOT_HUB_NAME), 1u); // no second request for a record that holds no name
  UsbEnumCleanup();

  faults(kIntelController, QJsonObject{{"driverKeyActualLength", 0x7FFFFFFF}});
  emu::usb::clearRequests();
  EnumerateHostControllers(NULL);
  EXPECT_EQ(requestsFor(IOCTL_GET_HCD_DRIVERKEY_NAME), 3u); // the huge length is refused before a second request
}

TEST_F(UsbEnum, PortRepliesWithImpossibleLengthsLeaveThePortUsable) {
  faults(kComposite, QJsonObject{{"connectorActualLength", 2}, {"driverKeyReturned", 5}});
  EnumerateHostControllers(NULL);
  EXPECT_EQ(requestsFor(IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, 0, 2, kExternalHub), 1u); // too short to ask again
  EXPECT_EQ(serialOf(kDiagnostics), ""); // no driver key, so no node for the composite device
  EXPECT_EQ(count("Get Driver Key Name Error", "GetDriverKeyName"), 2u); // the composite's, and the bridge's that has no driver
  faults(kComposite, QJsonObject{{"connectorActualLength", 0x7FFFFFFF}});
  emu::usb::clearRequests();
  EnumerateHostControllers(NULL);
  EXPECT_EQ(requestsFor(IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, 0, 2, kExternalHub), 1u); // too large to ask again
  EXPECT_EQ(serialOf(kDiagnostics), "BRIM00042");

  // The external hub's own name: without it the hub, and the composite device below it, are not walked.
  for (const auto &[fault, value] : {std::pair<const char *, int>{"hubNameReturned", 5}, {"hubNameActualLength", 0x10000}}) {
    change("USB\\ROOT_HUB30\\4&2A2B3C4D&0&0", [&](QJsonObject &root) { // the hub's port names no device
      QJsonArray ports = root["ports"].toArray();
      QJsonObject port = ports[3].toObject();
      port["faults"] = QJsonObject{{fault, value}};
      ports[3] = port;
      root["ports"] = ports;
    });
    emu::usb::clearRequests();
    logcapture::mark();
    EnumerateHostControllers(NULL);
    EXPECT_EQ(serialOf(kDiagnostics), "") << fault;
    EXPECT_EQ(count("Get External Hub Name Error", "GetExternalHubName"), 1u) << fault;
    EXPECT_EQ(requestsFor(IOCTL_USB_GET_NODE_CONNECTION_NAME, 0, 4, kIntelRootHub), value == 5 ? 2u : 1u) << fault;
  }
}

TEST_F(UsbEnum, DescriptorWalksEndOnAZeroLengthDescriptorAndFetchEachIndexOnce) {
  change(kComposite, [](QJsonObject &o) {
    // iProduct 2 also named by the configuration and an interface; 2 stalls; then a descriptor of length 0.
    o["configuration"] = "09 02 17 00 01 01 02 80 32  09 04 00 00 00 ff 00 00 02  00 24 00 00 00";
    o["faults"] = QJsonObject{{"failStrings", QJsonArray{2}}};
  });
  EnumerateHostControllers(NULL);
  EXPECT_EQ(serialOf(kDiagnostics), "BRIM00042");
  EXPECT_EQ(requestsFor(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, 0x0302, 2, kExternalHub), 1u);
  EXPECT_EQ(count("commonDesc->bLength (0) < sizeof(USB_COMMON_DESCRIPTOR) (2)", "GetAllStringDescriptors"), 1u);
}

TEST_F(UsbEnum, StringRepliesShorterThanADescriptorHeaderAreRefused) {
  change(kComposite, [](QJsonObject &o) {
    QJsonObject strings = o["strings"].toObject();
    strings["3"] = "00 03"; // a descriptor of length 0, delivered behind a reply counted as the header alone
    o["strings"] = strings;
    o["faults"] = QJsonObject{{"stringReturned", QJsonObject{{"3", 12}}}};
  });
  EnumerateHostControllers(NULL);
  PDeviceListNode composite = FindDeviceInfoNodeByDriverKey(emu::dev::findNode(kComposite)->driverKey.c_str(), Device);
  ASSERT_NE(composite, nullptr);
  ASSERT_NE(composite->Device, nullptr);
  for (PStringDescriptorEntry e = composite->Device->StringDescs; e; e = e->Next)
    ASSERT_NE(e->DescriptorIndex, 3) << "a serial entry of length " << int(e->StringDescriptor[0].bLength);
  EXPECT_EQ(serialOf(kDiagnostics), "");
}

TEST_F(UsbEnum, SerialCharactersTheCodePageLacksBecomeItsDefault) {
  change(kComposite, [](QJsonObject &o) {
    QJsonObject strings = o["strings"].toObject();
    strings["3"] = QString::fromStdString(utf16Hex(u"BR\u4E2DM\u00E9"));
    o["strings"] = strings;
  });
  EnumerateHostControllers(NULL);
  EXPECT_EQ(serialOf(kDiagnostics), "BR?M\xE9");
}

TEST_F(UsbEnum, AHubThatNamesItsAncestorEndsAtTheTierLimit) {
  change("USB\\VID_1209&PID_B705\\BVBRIDGE01", [](QJsonObject &o) {
    o["hub"] = QJsonObject{{"name", kIntelRootHub}}; // the bridge claims to be a hub: the Intel root hub
  });
  EnumerateHostControllers(NULL);
  EXPECT_LE(emu::usb::maxOpenHandles(), 1u + 6u); // controller, root hub and five external hubs at most
  EXPECT_GE(count("hub nesting deeper than 7 tiers", "EnumerateHub"), 1u);
}

TEST_F(UsbEnum, AFailedControllerSetEndsTheWalkBeforeItIsUsed) {
  emu::injectFailure("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, 4); // after the three list refills
  emu::clearCallJournal();
  EXPECT_EQ(EnumerateHostControllers(NULL), 0u);
  auto calls = emu::callJournal();
  auto failed = std::find(calls.rbegin(), calls.rend(), "SetupDiGetClassDevsA");
  ASSERT_NE(failed, calls.rend());
  EXPECT_EQ(std::find(calls.rbegin(), failed, "SetupDiEnumDeviceInfo"), failed);
  EXPECT_EQ(std::find(calls.rbegin(), failed, "SetupDiDestroyDeviceInfoList"), failed);
}

} // namespace
