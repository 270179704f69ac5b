// Stand-in area header: service. Declarations are added with the area.
#pragma once
#include "bvwin/base.h"
