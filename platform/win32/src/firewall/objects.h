// The firewall's COM classes, made by CoCreateInstance.
#pragma once

#include <objbase.h>

namespace emu::fw {

// A new object of the class (NetFwPolicy2, NetFwRule) holding one reference, or null for another CLSID.
IUnknown *makeObject(REFCLSID clsid);

} // namespace emu::fw
