/*
 * zub_progress.h - what zub shows while files move: on a terminal one line
 * per running transfer and a total line, redrawn in place; with
 * --progress=plain one line per finished file; otherwise nothing.
 */
#ifndef ZUB_PROGRESS_H
#define ZUB_PROGRESS_H

#include <stdint.h>
#include <stdio.h>

enum { PROGRESS_AUTO, PROGRESS_BAR, PROGRESS_PLAIN, PROGRESS_NONE };

#define ZUB_PROGRESS_SLOTS 32

typedef struct ZubProgressSlot {
  int active;
  char name[128];
  long long size;      /* -1 unknown */
  long long position;  /* bytes of the file there now, a continued part included */
  long long moved;     /* bytes moved by this run */
  double started;
} ZubProgressSlot;

typedef struct ZubProgress {
  int mode;            /* PROGRESS_BAR, PROGRESS_PLAIN or PROGRESS_NONE once set up */
  int fd;              /* the terminal of the bars */
  FILE *plain;         /* where plain lines go */
  ZubProgressSlot slots[ZUB_PROGRESS_SLOTS];
  int filesPlanned, filesDone, filesFailed;
  long long bytesPlanned; /* sum of the known sizes */
  int sizesUnknown;
  long long bytesMoved;
  double started, lastDraw;
  int linesDrawn;
} ZubProgress;

void zubProgressInit(ZubProgress *p, int mode, int fd, FILE *plain);
/* One more file to move, of size bytes (-1 unknown). */
void zubProgressPlanned(ZubProgress *p, long long size);
/* A transfer starts: its slot. */
int zubProgressStarted(ZubProgress *p, const char *name, long long offset, long long size);
/* The size of a file planned with an unknown size has become known (slot -1:
 * before its transfer started). */
void zubProgressSizeKnown(ZubProgress *p, int slot, long long size);
void zubProgressBytes(ZubProgress *p, int slot, uint32_t delta);
/* A transfer ends (slot -1: one that never started). */
void zubProgressFinished(ZubProgress *p, int slot, const char *name, int ok);
/* An error line, printed above the bars. */
void zubProgressMessage(ZubProgress *p, const char *line);
/* Redraws the bars when a tenth of a second has passed. */
void zubProgressTick(ZubProgress *p, double now);
void zubProgressEnd(ZubProgress *p);

/* "12.3 MiB" and the like, for the lines and the tests. */
void zubFormatBytes(double bytes, char *out, size_t size);

#endif /* ZUB_PROGRESS_H */
