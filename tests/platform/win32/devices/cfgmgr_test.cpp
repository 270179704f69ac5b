// CfgMgr32 over the fixture machine: CONFIGRET results with the last error left alone, node status, id and
// interface lists with their sizes, and the interface property call reached through LoadLibraryW.
#include "fixture.h"

#include <devpkey.h>
#include <usbiodef.h>

#include <vector>

using namespace devtest;

namespace {

const GUID kComPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const GUID kNoSuchClass = {0x01234567, 0x89ab, 0xcdef, {1, 2, 3, 4, 5, 6, 7, 8}};

DEVINST locate(const std::string &id, ULONG flags = CM_LOCATE_DEVNODE_NORMAL, CONFIGRET *cr = nullptr) {
  DEVINST dn = 0;
  std::u16string wid = w(id);
  CONFIGRET r = CM_Locate_DevNodeW(&dn, wid.data(), flags);
  if (cr) *cr = r;
  return dn;
}

std::vector<std::u16string> split(const std::u16string &multi) {
  std::vector<std::u16string> out;
  for (size_t at = 0; at < multi.size() && multi[at];) {
    size_t end = multi.find(u'\0', at);
    out.push_back(multi.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

} // namespace

TEST_F(DeviceTest, ConfigManagerCallsLeaveTheLastErrorAlone) {
  SetLastError(1234);
  DEVINST dn = locate(kKeypad);
  ASSERT_NE(dn, 0u);
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_TRUE(status & DN_HAS_PROBLEM);
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dn, &DEVPKEY_Device_HardwareIds, &type, nullptr, &size, 0),
            static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING_LIST));
  EXPECT_GT(size, 0u);
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dn, &DEVPKEY_Device_ContainerId, &type, nullptr, &size, 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
  EXPECT_EQ(GetLastError(), 1234u);

  // An injected failure comes back as the call's CONFIGRET, not as a last error.
  emu::injectFailure("CM_Get_DevNode_Status", CR_FAILURE, 1);
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_FAILURE));
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(DeviceTest, DevicesThatAreNotPresentAreOnlyFoundAsPhantoms) {
  CONFIGRET cr = CR_SUCCESS;
  EXPECT_EQ(locate(kUnplugged, CM_LOCATE_DEVNODE_NORMAL, &cr), 0u);
  EXPECT_EQ(cr, static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  DEVINST phantom = locate(kUnplugged, CM_LOCATE_DEVNODE_PHANTOM, &cr);
  ASSERT_EQ(cr, static_cast<CONFIGRET>(CR_SUCCESS));
  ULONG status = 7, problem = 7;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, phantom, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));

  // Unplugging takes a device out of the tree that CM_Get_Child walks.
  DEVINST hub = locate(kHub), child = 0;
  std::vector<std::string> before;
  for (CONFIGRET r = CM_Get_Child(&child, hub, 0); r == CR_SUCCESS; r = CM_Get_Sibling(&child, child, 0)) {
    char id[MAX_DEVICE_ID_LEN] = {};
    ASSERT_EQ(CM_Get_Device_IDA(child, id, MAX_DEVICE_ID_LEN, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    before.push_back(id);
  }
  EXPECT_EQ(before, (std::vector<std::string>{kComposite, "USB\\VID_1209&PID_B704\\6&3A1F2B&0&1", kBridge}));
  ASSERT_TRUE(emu::dev::setPresent(kComposite, false));
  ASSERT_EQ(CM_Get_Child(&child, hub, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_NE(child, locate(kComposite, CM_LOCATE_DEVNODE_PHANTOM));
  DEVINST parent = 0;
  EXPECT_EQ(CM_Get_Parent(&parent, locate(kComposite, CM_LOCATE_DEVNODE_PHANTOM), 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
}

TEST_F(DeviceTest, DeviceIdSizeAndBuffers) {
  DEVINST dn = locate(kHub);
  ULONG len = 0;
  ASSERT_EQ(CM_Get_Device_ID_Size(&len, dn, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(len, std::string(kHub).size());
  std::u16string buf(len + 1, u'x');
  EXPECT_EQ(CM_Get_Device_IDW(dn, buf.data(), len - 1, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(CM_Get_Device_IDW(dn, buf.data(), len + 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(emu::toUtf8(buf.c_str()), kHub);

  ULONG chars = 0;
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&chars, nullptr, CM_GETIDLIST_FILTER_PRESENT), static_cast<CONFIGRET>(CR_SUCCESS));
  std::u16string list(chars, u'x');
  EXPECT_EQ(CM_Get_Device_ID_ListW(nullptr, list.data(), chars - 1, CM_GETIDLIST_FILTER_PRESENT),
            static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  ASSERT_EQ(CM_Get_Device_ID_ListW(nullptr, list.data(), chars, CM_GETIDLIST_FILTER_PRESENT),
            static_cast<CONFIGRET>(CR_SUCCESS));
  std::vector<std::u16string> ids = split(list);
  EXPECT_EQ(ids.size(), 14u); // the tree's root and 13 present devices
  EXPECT_EQ(ids.front(), u"HTREE\\ROOT\\0");
  EXPECT_EQ(list.back(), u'\0');
}

TEST_F(DeviceTest, InterfaceListsCountPresentOrAllDevices) {
  ULONG chars = 0;
  ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&chars, const_cast<GUID *>(&kNoSuchClass), nullptr,
                                               CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
            static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(chars, 1u); // an empty list is its terminator

  auto listOf = [&](ULONG flags) {
    ULONG n = 0;
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&n, const_cast<GUID *>(&kComPort), nullptr, flags),
              static_cast<CONFIGRET>(CR_SUCCESS));
    std::u16string buf(n, u'x');
    EXPECT_EQ(CM_Get_Device_Interface_ListW(const_cast<GUID *>(&kComPort), nullptr, buf.data(), n, flags),
              static_cast<CONFIGRET>(CR_SUCCESS));
    return split(buf);
  };
  EXPECT_EQ(listOf(CM_GET_DEVICE_INTERFACE_LIST_PRESENT).size(), 1u);
  EXPECT_EQ(listOf(CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES).size(), 2u); // the unplugged port too
  ASSERT_TRUE(emu::dev::setEnabled(kSerialPort, false));
  EXPECT_TRUE(listOf(CM_GET_DEVICE_INTERFACE_LIST_PRESENT).empty());
}

TEST_F(DeviceTest, InterfacePropertyThroughTheLoadedLibrary) {
  using Fn = CONFIGRET(WINAPI *)(LPCWSTR, const DEVPROPKEY *, DEVPROPTYPE *, PBYTE, PULONG, ULONG);
  HMODULE lib = LoadLibraryW(u"CFGMGR32.DLL");
  ASSERT_NE(lib, nullptr);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(lib, "CM_Get_Device_Interface_PropertyW")));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(GetProcAddress(lib, "CM_No_Such_Call"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  std::u16string link = w(emu::dev::findNode(kSerialPort)->interfaces[0].symbolicLink);
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  ASSERT_EQ(fn(link.c_str(), &DEVPKEY_Device_InstanceId, &type, nullptr, &size, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  std::u16string id(size / 2, u'x');
  ASSERT_EQ(fn(link.c_str(), &DEVPKEY_Device_InstanceId, &type, reinterpret_cast<PBYTE>(id.data()), &size, 0),
            static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(emu::toUtf8(id.c_str()), kSerialPort);
  EXPECT_EQ(fn(link.c_str(), &DEVPKEY_Device_FriendlyName, &type, nullptr, &size, 0), static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
  std::u16string missing = w("\\\\?\\NOPE#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(fn(missing.c_str(), &DEVPKEY_Device_InstanceId, &type, nullptr, &size, 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVICE_INTERFACE));
  EXPECT_TRUE(FreeLibrary(lib));
  EXPECT_FALSE(FreeLibrary(lib)); // loaded once, freed once
  EXPECT_EQ(LoadLibraryW(u"nosuch.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}
