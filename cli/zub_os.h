/*
 * zub_os.h - what zub needs of the operating system beyond standard C: the
 * clock, pauses, folders, file kinds and sizes, the netrc file, a socket's
 * pending error, Ctrl-C and the terminal.  zub_os_posix.c and
 * zub_os_win32.c implement it; the build takes the target system's.
 */
#ifndef ZUB_OS_H
#define ZUB_OS_H

#include <stddef.h>

/* Seconds on a clock that never goes back. */
double zubOsSeconds(void);
/* Gives the processor away once, or pauses for some microseconds. */
void zubOsYield(void);
void zubOsPause(long microseconds);

/* True for a character that separates folders in a local path. */
int zubOsIsSeparator(char c);

/* Makes one folder: 0, or -1 with errno (EEXIST when the name is taken). */
int zubOsMakeDir(const char *path);

enum { ZUB_OS_MISSING = 0, ZUB_OS_FILE, ZUB_OS_DIR, ZUB_OS_OTHER };
/* What path names: ZUB_OS_MISSING (errno says why), a file (its size in
 * *size when size is not null), a folder or something else. */
int zubOsKind(const char *path, long long *size);

/* The entries of a folder, "." and ".." left out.  Open gives null (errno
 * set) when the folder cannot be read; next gives null at the end. */
typedef struct ZubOsDir ZubOsDir;
ZubOsDir *zubOsOpenDir(const char *path);
const char *zubOsNextEntry(ZubOsDir *dir);
void zubOsCloseDir(ZubOsDir *dir);

/* The path of the user's netrc file; 0 when there is no home to look in. */
int zubOsNetrcPath(char *path, size_t size);
/* Reads a file of secrets whole into text (terminated): its length, -1 when
 * it cannot be read, -2 when other users may read it (it is not read). */
long zubOsReadPrivate(const char *path, char *text, size_t size);

/* The error a socket of the library holds (0 if none), and its words. */
int zubOsSocketError(int sock);
const char *zubOsErrorText(int err);

/* Ctrl-C and a request to end call handler (once per signal). */
void zubOsOnInterrupt(void (*handler)(int));

/* Whether fd is a terminal that takes the cursor sequences of the bars, its
 * width in columns (80 when unknown), and a write of bytes to it. */
int zubOsIsTerminal(int fd);
int zubOsColumns(int fd);
int zubOsWriteTerminal(int fd, const char *bytes, size_t count);

#endif /* ZUB_OS_H */
