// Stand-in for the Windows SDK's initguid.h: the stand-in's GUID and property-key constants are always defined, so
// there is nothing to switch on.
#pragma once
#define INITGUID
