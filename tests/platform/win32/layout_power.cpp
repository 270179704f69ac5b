// Power and PDH structures and constants, checked against both header sets.
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <powrprof.h>

#include <cstddef>

static_assert(sizeof(PDH_FMT_COUNTERVALUE) == 16 && offsetof(PDH_FMT_COUNTERVALUE, doubleValue) == 8, "counter value");
static_assert(sizeof(PDH_STATUS) == 4 && sizeof(PDH_HQUERY) == 8 && sizeof(PDH_HCOUNTER) == 8, "PDH types");
static_assert(PDH_FMT_LONG == 0x100 && PDH_FMT_DOUBLE == 0x200 && PDH_FMT_LARGE == 0x400 &&
                  PDH_FMT_NOCAP100 == 0x8000 && PDH_FMT_1000 == 0x2000,
              "formats");
static_assert(PDH_INVALID_DATA == 0xC0000BC6 && PDH_INVALID_HANDLE == 0xC0000BBC && PDH_CSTATUS_NO_OBJECT == 0xC0000BB8 &&
                  PDH_CSTATUS_NO_COUNTER == 0xC0000BB9 && PDH_CSTATUS_INVALID_DATA == 0xC0000BBA &&
                  PDH_CSTATUS_NO_INSTANCE == 0x800007D1 && PDH_NO_DATA == 0x800007D5,
              "PDH status codes");
