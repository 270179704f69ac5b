// Sizes, offsets and values of the device installation types and constants (SetupAPI, CfgMgr32, newdev, property
// keys); compiles against the stand-in and mingw-w64.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpkey.h>
#include <newdev.h>

#include <cstddef>

static_assert(sizeof(SP_DEVINFO_DATA) == 32 && offsetof(SP_DEVINFO_DATA, ClassGuid) == 4 &&
                  offsetof(SP_DEVINFO_DATA, DevInst) == 20 && offsetof(SP_DEVINFO_DATA, Reserved) == 24,
              "SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20 &&
                  offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) == 24,
              "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8 &&
                  offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4 &&
                  sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8 &&
                  offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4,
              "SP_DEVICE_INTERFACE_DETAIL_DATA");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8 && sizeof(SP_PROPCHANGE_PARAMS) == 20 &&
                  offsetof(SP_PROPCHANGE_PARAMS, StateChange) == 8 && offsetof(SP_PROPCHANGE_PARAMS, HwProfile) == 16 &&
                  sizeof(SP_REMOVEDEVICE_PARAMS) == 16 && offsetof(SP_REMOVEDEVICE_PARAMS, HwProfile) == 12,
              "class install parameters");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584 && offsetof(SP_DEVINSTALL_PARAMS_W, hwndParent) == 16 &&
                  offsetof(SP_DEVINSTALL_PARAMS_W, Reserved) == 56 && offsetof(SP_DEVINSTALL_PARAMS_W, DriverPath) == 60,
              "SP_DEVINSTALL_PARAMS_W");
static_assert(sizeof(SP_DRVINFO_DATA_V1_W) == 1552 && sizeof(SP_DRVINFO_DATA_V2_W) == 1568 &&
                  sizeof(SP_DRVINFO_DATA_W) == 1568 && offsetof(SP_DRVINFO_DATA_W, Description) == 16 &&
                  offsetof(SP_DRVINFO_DATA_W, MfgName) == 528 && offsetof(SP_DRVINFO_DATA_W, ProviderName) == 1040 &&
                  offsetof(SP_DRVINFO_DATA_W, DriverDate) == 1552 && offsetof(SP_DRVINFO_DATA_W, DriverVersion) == 1560,
              "SP_DRVINFO_DATA_W");
static_assert(sizeof(DEVPROPKEY) == 20 && offsetof(DEVPROPKEY, pid) == 16, "DEVPROPKEY");
static_assert(sizeof(CM_POWER_DATA) == 56 && offsetof(CM_POWER_DATA, PD_PowerStateMapping) == 24 &&
                  offsetof(CM_POWER_DATA, PD_DeepestSystemWake) == 52,
              "CM_POWER_DATA");

static_assert(DIGCF_DEFAULT == 1 && DIGCF_PRESENT == 2 && DIGCF_ALLCLASSES == 4 && DIGCF_PROFILE == 8 &&
                  DIGCF_DEVICEINTERFACE == 0x10,
              "DIGCF");
static_assert(SPDRP_DEVICEDESC == 0 && SPDRP_HARDWAREID == 1 && SPDRP_COMPATIBLEIDS == 2 && SPDRP_SERVICE == 4 &&
                  SPDRP_CLASS == 7 && SPDRP_CLASSGUID == 8 && SPDRP_DRIVER == 9 && SPDRP_MFG == 0xB &&
                  SPDRP_FRIENDLYNAME == 0xC && SPDRP_LOCATION_INFORMATION == 0xD && SPDRP_BUSNUMBER == 0x15 &&
                  SPDRP_ENUMERATOR_NAME == 0x16 && SPDRP_ADDRESS == 0x1C && SPDRP_DEVICE_POWER_DATA == 0x1E &&
                  SPDRP_LOCATION_PATHS == 0x23,
              "SPDRP");
static_assert(CM_DRP_DRIVER == 0x0A && CM_DRP_HARDWAREID == 2 && CM_DRP_LOCATION_PATHS == 0x24, "CM_DRP");
static_assert(DIF_INSTALLDEVICE == 2 && DIF_REMOVE == 5 && DIF_PROPERTYCHANGE == 0x12 && DIF_REGISTERDEVICE == 0x19 &&
                  DIF_SELECTBESTCOMPATDRV == 0x17,
              "DIF");
static_assert(DICS_ENABLE == 1 && DICS_DISABLE == 2 && DICS_PROPCHANGE == 3 && DICS_FLAG_GLOBAL == 1 &&
                  DI_REMOVEDEVICE_GLOBAL == 1 && DI_NEEDRESTART == 0x80 && DI_NEEDREBOOT == 0x100 &&
                  DICD_GENERATE_ID == 1 && SPDIT_CLASSDRIVER == 1 && SPDIT_COMPATDRIVER == 2 && LINE_LEN == 256 &&
                  MAX_CLASS_NAME_LEN == 32 && MAX_DEVICE_ID_LEN == 200 && INSTALLFLAG_FORCE == 1,
              "installer constants");
static_assert(CR_SUCCESS == 0 && CR_INVALID_POINTER == 3 && CR_INVALID_FLAG == 4 && CR_INVALID_DEVNODE == 5 &&
                  CR_NO_SUCH_DEVNODE == 0x0D && CR_FAILURE == 0x13 && CR_BUFFER_SMALL == 0x1A &&
                  CR_INVALID_DEVICE_ID == 0x1E && CR_INVALID_DATA == 0x1F && CR_NO_SUCH_VALUE == 0x25 &&
                  CR_INVALID_PROPERTY == 0x35 && CR_NO_SUCH_DEVICE_INTERFACE == 0x37,
              "CONFIGRET");
static_assert(CM_LOCATE_DEVNODE_NORMAL == 0 && CM_LOCATE_DEVNODE_PHANTOM == 1 && CM_GETIDLIST_FILTER_PRESENT == 0x100 &&
                  CM_GETIDLIST_FILTER_ENUMERATOR == 1 && CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES == 1,
              "CM flags");
static_assert(DN_DRIVER_LOADED == 2 && DN_STARTED == 8 && DN_HAS_PROBLEM == 0x400 && DN_DISABLEABLE == 0x2000 &&
                  DN_REMOVABLE == 0x4000 && DN_WILL_BE_REMOVED == 0x40000,
              "DN");
static_assert(CM_PROB_NOT_CONFIGURED == 1 && CM_PROB_FAILED_START == 10 && CM_PROB_WILL_BE_REMOVED == 21 &&
                  CM_PROB_DISABLED == 22 && CM_PROB_FAILED_INSTALL == 28 && CM_PROB_FAILED_POST_START == 43 &&
                  CM_PROB_NEED_CLASS_CONFIG == 56,
              "CM_PROB");
static_assert(DEVPROP_TYPE_STRING == 0x12 && DEVPROP_TYPE_STRING_LIST == 0x2012 && DEVPROP_TYPE_UINT32 == 7 &&
                  DEVPROP_TYPE_GUID == 0xD && DEVPROP_TYPE_BINARY == 0x1003 && DEVPROP_TYPE_BOOLEAN == 0x11,
              "DEVPROPTYPE");
static_assert(ERROR_INVALID_USER_BUFFER == 1784 && ERROR_SUCCESS_REBOOT_REQUIRED == 3010 &&
                  ERROR_NO_SUCH_DEVINST == 0xE000020B && ERROR_DEVINST_ALREADY_EXISTS == 0xE0000207 &&
                  ERROR_NO_DRIVER_SELECTED == 0xE0000203 && ERROR_NO_SUCH_DEVICE_INTERFACE == 0xE0000225 &&
                  ERROR_INVALID_REG_PROPERTY == 0xE0000209 && ERROR_CLASS_MISMATCH == 0xE0000201 &&
                  ERROR_NO_CLASSINSTALL_PARAMS == 0xE0000215 && ERROR_NO_COMPAT_DRIVERS == 0xE0000228 &&
                  ERROR_INVALID_CLASS == 0xE0000206 && ERROR_DEVINFO_NOT_REGISTERED == 0xE0000208,
              "setup errors");
