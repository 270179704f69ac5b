// Text conversion with the machine's one ANSI code page (Windows-1252) and UTF-8, and the CRT calls product code
// takes from the Windows runtime (_stricmp, sscanf_s).
#include <windows.h>
#include "emu/emu.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <string>

namespace {

constexpr UINT kAnsiCodePage = 1252;

// Windows-1252 bytes 0x80..0x9F; the five bytes the code page leaves open map to the C1 controls, as Windows has it.
const char16_t kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Base letters of U+0100..U+017F for the best-fit mapping that applies without WC_NO_BEST_FIT_CHARS; 0: none.
const char kLatinExtendedA[] = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi\0\0JjKk\0LlLlLlLlLlNnNnNn\0\0\0OoOoOo"
                               "\0\0RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZz\0";

// The best fit Windows-1252 gives a character it lacks, without WC_NO_BEST_FIT_CHARS; -1: none, the default
// character. Only these are modelled (../usb/MODEL.md, "Heaps and text").
int bestFit1252(char16_t c) {
  if (c >= 0x100 && c < 0x180 && kLatinExtendedA[c - 0x100])
    return static_cast<unsigned char>(kLatinExtendedA[c - 0x100]);
  if (c >= 0xFF01 && c <= 0xFF5E) return c - 0xFEE0; // fullwidth forms of '!'..'~'
  if (c == 0x221E) return '8';                       // infinity, the documented example
  return -1;
}

bool is1252(UINT cp) { return cp == CP_ACP || cp == kAnsiCodePage; }
bool supported(UINT cp) { return is1252(cp) || cp == CP_UTF8; }

// One UTF-16 unit to a Windows-1252 byte; -1 when the code page lacks it.
int to1252(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i)
    if (kHigh1252[i] == c) return 0x80 + i;
  return -1;
}

char16_t from1252(unsigned char b) { return (b >= 0x80 && b < 0xA0) ? kHigh1252[b - 0x80] : b; }

bool highSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool lowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void appendUtf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes UTF-8; false on an invalid sequence when strict, else U+FFFD for it.
bool decodeUtf8(const unsigned char *s, size_t n, bool strict, std::u16string &out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    uint32_t cp = 0;
    size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    bool ok = len != 0 && i + len <= n;
    if (ok) {
      cp = len == 1 ? b : (b & (0xFF >> (len + 1)));
      for (size_t k = 1; k < len && ok; ++k) {
        ok = (s[i + k] & 0xC0) == 0x80;
        cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
      ok = ok && cp >= minimum[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (!ok) {
      if (strict) return false;
      out += u'\xFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return true;
}

// Copies a converted text out by the two-call protocol of both conversions.
template <class Text, class Char> int copyOut(const Text &text, Char *dst, int room) {
  if (room == 0) return static_cast<int>(text.size());
  if (text.size() > static_cast<size_t>(room)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, text.data(), text.size() * sizeof(Char));
  return static_cast<int>(text.size());
}

} // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
  EMU_FAIL_POINT("MultiByteToWideChar", 0);
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (!lpWideCharStr && cchWideChar != 0) ||
      !supported(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Documented: UTF-8 takes no flag but MB_ERR_INVALID_CHARS, not even MB_PRECOMPOSED.
  const DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
  if (dwFlags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto *bytes = reinterpret_cast<const unsigned char *>(lpMultiByteStr);
  std::u16string out;
  if (CodePage == CP_UTF8) {
    if (!decodeUtf8(bytes, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0, out)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    for (size_t i = 0; i < n; ++i) out += from1252(bytes[i]);
  }
  return copyOut(out, lpWideCharStr, cchWideChar);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
  EMU_FAIL_POINT("WideCharToMultiByte", 0);
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (!lpMultiByteStr && cbMultiByte != 0) ||
      !supported(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cchWideChar < 0 ? static_cast<size_t>(lstrlenW(lpWideCharStr)) + 1 : static_cast<size_t>(cchWideChar);
  std::string out;
  if (CodePage == CP_UTF8) {
    // Documented: UTF-8 takes no default character and no flag but WC_ERR_INVALID_CHARS.
    if (lpDefaultChar || lpUsedDefaultChar) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    for (size_t i = 0; i < n; ++i) {
      char16_t c = lpWideCharStr[i];
      if (highSurrogate(c) && i + 1 < n && lowSurrogate(lpWideCharStr[i + 1])) {
        appendUtf8(out, 0x10000 + ((c - 0xD800u) << 10) + (lpWideCharStr[i + 1] - 0xDC00u));
        ++i;
      } else if (highSurrogate(c) || lowSurrogate(c)) {
        if (dwFlags & WC_ERR_INVALID_CHARS) {
          SetLastError(ERROR_NO_UNICODE_TRANSLATION);
          return 0;
        }
        appendUtf8(out, 0xFFFD);
      } else {
        appendUtf8(out, c);
      }
    }
    return copyOut(out, lpMultiByteStr, cbMultiByte);
  }
  if (dwFlags & ~static_cast<DWORD>(WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
  BOOL usedDefault = FALSE;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = lpWideCharStr[i];
    int b = to1252(c);
    if (b < 0) {
      // The code page cannot represent c: lpUsedDefaultChar says so, also when a best fit stands in for it.
      usedDefault = TRUE;
      if (!(dwFlags & WC_NO_BEST_FIT_CHARS)) b = bestFit1252(c);
      if (b < 0) b = static_cast<unsigned char>(fallback);
    }
    out += static_cast<char>(b);
  }
  int written = copyOut(out, lpMultiByteStr, cbMultiByte);
  if (written && lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault;
  return written;
}

extern "C" int __cdecl _stricmp(const char *string1, const char *string2) {
  // The C locale: only A-Z fold.
  for (;; ++string1, ++string2) {
    int a = static_cast<unsigned char>(*string1), b = static_cast<unsigned char>(*string2);
    if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
    if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
    if (a != b || !a) return a - b;
  }
}

extern "C" int __cdecl sscanf_s(const char *buffer, const char *format, ...) {
  // Conversions that need a buffer size (%s, %c, %[) take an extra argument in the secure form; none is used here,
  // so they are refused rather than read without a bound.
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    while (*p && std::strchr("0123456789*hlLjzt", *p)) ++p;
    if (*p == 's' || *p == 'c' || *p == '[' || *p == 'S' || *p == 'C') {
      errno = EINVAL;
      return -1;
    }
    if (!*p) break;
  }
  va_list args;
  va_start(args, format);
  int n = std::vsscanf(buffer, format, args);
  va_end(args);
  return n;
}
