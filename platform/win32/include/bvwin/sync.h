// Stand-in area header: sync. Declarations are added with the area.
#pragma once
#include "bvwin/base.h"
