// Stand-in area header: process. Declarations are added with the area.
#pragma once
#include "bvwin/base.h"
