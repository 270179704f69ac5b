// Stand-in area header: user32. Declarations are added with the area.
#pragma once
#include "bvwin/base.h"
