/*
 * zub_os_win32.c - zub_os.h on Windows: the Win32 API and the C runtime.
 */
#include "zub_os.h"

#include <winsock2.h>
#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

double zubOsSeconds(void)
{
  static LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart / (double)frequency.QuadPart;
}

void zubOsYield(void) { SwitchToThread(); }

/* Sleep counts whole milliseconds: a shorter pause is a yield. */
void zubOsPause(long microseconds)
{
  if (microseconds < 1000) SwitchToThread();
  else Sleep((DWORD)(microseconds / 1000));
}

int zubOsIsSeparator(char c) { return c == '/' || c == '\\'; }

int zubOsMakeDir(const char *path) { return _mkdir(path); }

int zubOsKind(const char *path, long long *size)
{
  struct _stati64 st;
  if (_stati64(path, &st) != 0) return ZUB_OS_MISSING;
  if ((st.st_mode & _S_IFMT) == _S_IFDIR) return ZUB_OS_DIR;
  if ((st.st_mode & _S_IFMT) != _S_IFREG) return ZUB_OS_OTHER;
  if (size != NULL) *size = (long long)st.st_size;
  return ZUB_OS_FILE;
}

struct ZubOsDir {
  HANDLE find;
  WIN32_FIND_DATAA entry;
  int pending; /* entry holds one not handed out yet */
};

ZubOsDir *zubOsOpenDir(const char *path)
{
  char pattern[MAX_PATH + 8];
  size_t n = strlen(path);
  if (n + 3 > sizeof pattern) {
    errno = ENAMETOOLONG;
    return NULL;
  }
  snprintf(pattern, sizeof pattern, "%s%s*", path, n > 0 && zubOsIsSeparator(path[n - 1]) ? "" : "\\");
  ZubOsDir *dir = malloc(sizeof *dir);
  if (dir == NULL) {
    errno = ENOMEM;
    return NULL;
  }
  dir->find = FindFirstFileA(pattern, &dir->entry);
  if (dir->find == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    free(dir);
    errno = err == ERROR_ACCESS_DENIED ? EACCES : err == ERROR_DIRECTORY ? ENOTDIR : ENOENT;
    return NULL;
  }
  dir->pending = 1;
  return dir;
}

const char *zubOsNextEntry(ZubOsDir *dir)
{
  for (;;) {
    if (!dir->pending && !FindNextFileA(dir->find, &dir->entry)) return NULL;
    dir->pending = 0;
    const char *name = dir->entry.cFileName;
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) return name;
  }
}

void zubOsCloseDir(ZubOsDir *dir)
{
  FindClose(dir->find);
  free(dir);
}

/* %HOME%\_netrc where HOME is set, else the profile's: the name Windows
 * clients of netrc use (a leading dot is awkward there). */
int zubOsNetrcPath(char *path, size_t size)
{
  const char *home = getenv("HOME");
  if (home == NULL || home[0] == '\0') home = getenv("USERPROFILE");
  if (home == NULL || home[0] == '\0') return 0;
  snprintf(path, size, "%s\\_netrc", home);
  return 1;
}

/* The profile folder is the user's own: no mode bits to check here. */
long zubOsReadPrivate(const char *path, char *text, size_t size)
{
  FILE *f = fopen(path, "rb");
  if (f == NULL) return -1;
  size_t n = fread(text, 1, size - 1, f);
  int failed = ferror(f);
  fclose(f);
  if (failed) return -1;
  text[n] = '\0';
  return (long)n;
}

int zubOsSocketError(int sock)
{
  int err = 0;
  int len = sizeof err;
  if (sock <= 0 || getsockopt((SOCKET)(unsigned)sock, SOL_SOCKET, SO_ERROR, (char *)&err, &len) != 0) return 0;
  return err;
}

/* WinSock's numbers are not the C runtime's: the system words for them. */
const char *zubOsErrorText(int err)
{
  static char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)err, 0, text,
                           sizeof text, NULL);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = '\0';
  if (n == 0) snprintf(text, sizeof text, "error %d", err);
  return text;
}

void zubOsOnInterrupt(void (*handler)(int))
{
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
}

/* A console that takes the cursor sequences (ENABLE_VIRTUAL_TERMINAL_PROCESSING). */
int zubOsIsTerminal(int fd)
{
  HANDLE h = (HANDLE)_get_osfhandle(fd);
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return 0;
  return (mode & 0x0004) != 0 || SetConsoleMode(h, mode | 0x0004);
}

int zubOsColumns(int fd)
{
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = (HANDLE)_get_osfhandle(fd);
  if (h != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(h, &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns >= 20) return columns;
  }
  return 80;
}

int zubOsWriteTerminal(int fd, const char *bytes, size_t count)
{
  return _write(fd, bytes, (unsigned)count) < 0 ? -1 : 0;
}
