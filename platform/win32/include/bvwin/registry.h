// Stand-in area header: registry. Declarations are added with the area.
#pragma once
#include "bvwin/base.h"
