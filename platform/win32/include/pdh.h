// Stand-in for the Windows SDK header of this name: queries, counters and formatted values.
#pragma once
#include "windows.h"

extern "C" {

typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;
#define PDH_FUNCTION PDH_STATUS WINAPI

#define PDH_FMT_RAW ((DWORD)0x00000010)
#define PDH_FMT_ANSI ((DWORD)0x00000020)
#define PDH_FMT_UNICODE ((DWORD)0x00000040)
#define PDH_FMT_LONG ((DWORD)0x00000100)
#define PDH_FMT_DOUBLE ((DWORD)0x00000200)
#define PDH_FMT_LARGE ((DWORD)0x00000400)
#define PDH_FMT_NOSCALE ((DWORD)0x00001000)
#define PDH_FMT_1000 ((DWORD)0x00002000)
#define PDH_FMT_NODATA ((DWORD)0x00004000)
#define PDH_FMT_NOCAP100 ((DWORD)0x00008000)

typedef struct _PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
    LONGLONG largeValue;
    LPCSTR AnsiStringValue;
    LPCWSTR WideStringValue;
  };
} PDH_FMT_COUNTERVALUE, *PPDH_FMT_COUNTERVALUE;

PDH_FUNCTION PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY *phQuery);
PDH_FUNCTION PdhAddCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                            PDH_HCOUNTER *phCounter);
PDH_FUNCTION PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                                   PDH_HCOUNTER *phCounter);
PDH_FUNCTION PdhCollectQueryData(PDH_HQUERY hQuery);
PDH_FUNCTION PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, LPDWORD lpdwType,
                                         PPDH_FMT_COUNTERVALUE pValue);
PDH_FUNCTION PdhCloseQuery(PDH_HQUERY hQuery);

} // extern "C"
#ifdef UNICODE
#define PdhOpenQuery PdhOpenQueryW
#define PdhAddCounter PdhAddCounterW
#define PdhAddEnglishCounter PdhAddEnglishCounterW
#endif
