// Preloaded into a test program: every open of /proc/<pid>/stat waits 2 ms first, as on a busy machine where a
// process's end and its reaping fall between a test's steps. Only for runs of the tests (see CMakeLists.txt).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

static int isProcStat(const char *path) {
  static const char prefix[] = "/proc/";
  if (!path) return 0;
  for (int i = 0; prefix[i]; ++i)
    if (path[i] != prefix[i]) return 0;
  const char *p = path + sizeof(prefix) - 1;
  if (*p < '0' || *p > '9') return 0;
  while (*p >= '0' && *p <= '9') ++p;
  return p[0] == '/' && p[1] == 's' && p[2] == 't' && p[3] == 'a' && p[4] == 't' && p[5] == '\0';
}

static void delay(const char *path) {
  if (!isProcStat(path)) return;
  struct timespec ts = {0, 2000000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

static mode_t modeOf(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeOf(flags, ap);
  va_end(ap);
  delay(path);
  return NEXT(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeOf(flags, ap);
  va_end(ap);
  delay(path);
  return NEXT(open64)(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeOf(flags, ap);
  va_end(ap);
  delay(path);
  return NEXT(openat)(dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeOf(flags, ap);
  va_end(ap);
  delay(path);
  return NEXT(openat64)(dir, path, flags, mode);
}

// What _FORTIFY_SOURCE makes of an open whose flags are not known at compile time.
int __open_2(const char *path, int flags) {
  delay(path);
  return NEXT(open)(path, flags);
}

int __open64_2(const char *path, int flags) {
  delay(path);
  return NEXT(open64)(path, flags);
}

FILE *fopen(const char *path, const char *mode) {
  delay(path);
  return NEXT(fopen)(path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
  delay(path);
  return NEXT(fopen64)(path, mode);
}
