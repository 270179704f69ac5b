// Output and string helpers shared by the conformance programs: one observation per line,
// "<area>: <call/case> -> <value> [err=<GetLastError>]". Plain Win32 and the C library only.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

inline unsigned U(DWORD v) { return static_cast<unsigned>(v); }
inline int B(bool v) { return v ? 1 : 0; }

// A last error no call gives: set right before each call whose error is printed, so that an error shown is the
// call's own and a call that fails without setting one shows this value (19088743) instead of an earlier code.
const DWORD kSentinel = 0x1234567;
inline void arm() { SetLastError(kSentinel); }

// --- output ------------------------------------------------------------------------------------------------------

inline void vsay(const char *what, const char *prefix, const char *fmt, va_list ap) {
  char value[512];
  vsnprintf(value, sizeof(value), fmt, ap);
  printf("%s -> %s%s%s\n", what, prefix, *prefix && *value ? " " : "", value);
  fflush(stdout);
}

// One observation: "<what> -> <value>".
inline void say(const char *what, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(what, "", fmt, ap);
  va_end(ap);
}

// A BOOL result: "1 <extra>" or "0 err=<e>". Reads the last error first, so it is called right after the call.
inline void sayBool(const char *what, BOOL ok, const char *extraFmt = "", ...) {
  const DWORD err = GetLastError();
  if (!ok) return say(what, "0 err=%u", U(err));
  va_list ap;
  va_start(ap, extraFmt);
  vsay(what, "1", extraFmt, ap);
  va_end(ap);
}

// A registry status with detail.
inline void sayStatus(const char *what, LSTATUS rc, const char *extraFmt = "", ...) {
  char status[16];
  snprintf(status, sizeof(status), "%ld", static_cast<long>(rc));
  va_list ap;
  va_start(ap, extraFmt);
  vsay(what, status, extraFmt, ap);
  va_end(ap);
}

// A handle result, "handle" or "NULL err=<e>"; the handle is closed.
inline void sayHandle(const char *what, HANDLE h) {
  const DWORD err = GetLastError();
  if (!h) return say(what, "NULL err=%u", U(err));
  say(what, "handle");
  CloseHandle(h);
}

// A named object's creation: as sayHandle, with the error a success leaves (ERROR_ALREADY_EXISTS); the handle stays
// open. The caller clears the last error first.
inline HANDLE sayCreated(const char *what, HANDLE h) {
  const DWORD err = GetLastError();
  if (!h)
    say(what, "NULL err=%u", U(err));
  else if (err)
    say(what, "handle err=%u", U(err));
  else
    say(what, "handle");
  return h;
}

// A setup step the observations rely on: silent when it succeeded, else a line no expected file holds, so that the
// comparison fails and names the step. Reads the last error first.
inline bool setup(const char *what, bool ok) {
  const DWORD err = GetLastError();
  if (!ok) say(what, "setup failed err=%u", U(err));
  return ok;
}

// --- strings -----------------------------------------------------------------------------------------------------

inline size_t wideLength(const WCHAR *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// ASCII-only case folding, enough for the paths and names compared here.
inline bool wideEqualNoCase(const WCHAR *a, const WCHAR *b) {
  auto lower = [](WCHAR c) { return static_cast<WCHAR>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
  while (*a && lower(*a) == lower(*b)) ++a, ++b;
  return lower(*a) == lower(*b);
}

inline void widen(const char *in, WCHAR *out, size_t room) {
  size_t i = 0;
  for (; in[i] && i + 1 < room; ++i) out[i] = static_cast<WCHAR>(static_cast<unsigned char>(in[i]));
  out[i] = 0;
}

inline const WCHAR *fileNameOf(const WCHAR *path) {
  const WCHAR *name = path;
  for (const WCHAR *p = path; *p; ++p)
    if (*p == '\\' || *p == '/') name = p + 1;
  return name;
}
