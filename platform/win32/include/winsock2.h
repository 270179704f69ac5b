// Stand-in for the Windows SDK header of this name: the byte-order calls and AF_INET, which the host's own socket
// headers provide with Windows' values (only AF_INET is used; the host's AF_INET6 differs from Windows' 23).
#pragma once
#include "bvwin/base.h"

#include <netinet/in.h>
