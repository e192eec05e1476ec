/*
 * zub_os_posix.c - zub_os.h on POSIX systems.
 */
#define _DEFAULT_SOURCE
#include "zub_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

double zubOsSeconds(void)
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void zubOsYield(void) { sched_yield(); }

void zubOsPause(long microseconds)
{
  struct timespec ts = {microseconds / 1000000, microseconds % 1000000 * 1000};
  nanosleep(&ts, NULL);
}

int zubOsIsSeparator(char c) { return c == '/'; }

int zubOsMakeDir(const char *path) { return mkdir(path, 0755); }

int zubOsKind(const char *path, long long *size)
{
  struct stat st;
  if (stat(path, &st) != 0) return ZUB_OS_MISSING;
  if (S_ISDIR(st.st_mode)) return ZUB_OS_DIR;
  if (!S_ISREG(st.st_mode)) return ZUB_OS_OTHER;
  if (size != NULL) *size = (long long)st.st_size;
  return ZUB_OS_FILE;
}

struct ZubOsDir {
  DIR *d;
};

ZubOsDir *zubOsOpenDir(const char *path)
{
  DIR *d = opendir(path);
  if (d == NULL) return NULL;
  ZubOsDir *dir = malloc(sizeof *dir);
  if (dir == NULL) {
    closedir(d);
    errno = ENOMEM;
    return NULL;
  }
  dir->d = d;
  return dir;
}

const char *zubOsNextEntry(ZubOsDir *dir)
{
  struct dirent *e;
  while ((e = readdir(dir->d)) != NULL)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return e->d_name;
  return NULL;
}

void zubOsCloseDir(ZubOsDir *dir)
{
  closedir(dir->d);
  free(dir);
}

int zubOsNetrcPath(char *path, size_t size)
{
  const char *home = getenv("HOME");
  if (home == NULL) return 0;
  snprintf(path, size, "%s/.netrc", home);
  return 1;
}

long zubOsReadPrivate(const char *path, char *text, size_t size)
{
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_mode & 077) != 0) {
    close(fd);
    return -2;
  }
  ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n < 0) return -1;
  text[n] = '\0';
  return (long)n;
}

int zubOsSocketError(int sock)
{
  int err = 0;
  socklen_t len = sizeof err;
  if (sock <= 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
  return err;
}

const char *zubOsErrorText(int err) { return strerror(err); }

void zubOsOnInterrupt(void (*handler)(int))
{
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
  /* A server that goes away mid-send is an error to report, not an end. */
  signal(SIGPIPE, SIG_IGN);
}

int zubOsIsTerminal(int fd) { return isatty(fd); }

int zubOsColumns(int fd)
{
  struct winsize ws;
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

int zubOsWriteTerminal(int fd, const char *bytes, size_t count)
{
  return write(fd, bytes, count) < 0 ? -1 : 0;
}
