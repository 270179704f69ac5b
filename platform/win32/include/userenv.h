// Stand-in for the Windows SDK header of this name.
#pragma once
#include "windows.h"
#include "bvwin/process.h"
