// Stand-in for the SDK's securitybaseapi.h (Linux build only): windows.h declares the same.
#pragma once
#include "windows.h"
