// COM for applications: apartments, creation, automation strings and variants (Linux build only).
#pragma once

#include "combaseapi.h"
#include "oleauto.h"
