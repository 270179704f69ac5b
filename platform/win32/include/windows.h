// Stand-in for the Windows SDK's windows.h (Linux build only).
#pragma once
#include "bvwin/base.h"
#include "winerror.h"
#include "bvwin/kernel.h"
#include "bvwin/files.h"
#include "bvwin/sync.h"
#include "bvwin/process.h"
#include "bvwin/security.h"
#include "bvwin/registry.h"
#include "bvwin/user32.h"
#include "bvwin/service.h"
#include "libloaderapi.h"
