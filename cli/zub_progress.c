/*
 * zub_progress.c - progress lines of the zub client.
 */
#define _DEFAULT_SOURCE
#include "zub_progress.h"

#include <string.h>

#include "zub_os.h"


void zubFormatBytes(double bytes, char *out, size_t size)
{
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    u++;
  }
  if (u == 0) snprintf(out, size, "%.0f B", bytes);
  else snprintf(out, size, "%.1f %s", bytes, units[u]);
}

static void formatTime(double seconds, char *out, size_t size)
{
  if (seconds < 0 || seconds > 359999) {
    snprintf(out, size, "--:--");
    return;
  }
  long s = (long)(seconds + 0.5);
  if (s >= 3600) snprintf(out, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
}

void zubProgressInit(ZubProgress *p, int mode, int fd, FILE *plain)
{
  memset(p, 0, sizeof *p);
  if (mode == PROGRESS_AUTO) mode = zubOsIsTerminal(fd) ? PROGRESS_BAR : PROGRESS_NONE;
  p->mode = mode;
  p->fd = fd;
  p->plain = plain;
  p->started = zubOsSeconds();
}

void zubProgressPlanned(ZubProgress *p, long long size)
{
  p->filesPlanned++;
  if (size >= 0) p->bytesPlanned += size;
  else p->sizesUnknown++;
}

int zubProgressStarted(ZubProgress *p, const char *name, long long offset, long long size)
{
  for (int i = 0; i < ZUB_PROGRESS_SLOTS; i++) {
    ZubProgressSlot *s = &p->slots[i];
    if (s->active) continue;
    s->active = 1;
    snprintf(s->name, sizeof s->name, "%s", name);
    /* Long names keep their end, which tells files apart. */
    size_t n = strlen(name);
    if (n >= sizeof s->name) snprintf(s->name, sizeof s->name, "...%s", name + n - (sizeof s->name - 4));
    s->size = size;
    s->position = offset;
    s->moved = 0;
    s->started = zubOsSeconds();
    return i;
  }
  return -1;
}

void zubProgressSizeKnown(ZubProgress *p, int slot, long long size)
{
  if (size < 0) return;
  p->bytesPlanned += size;
  if (p->sizesUnknown > 0) p->sizesUnknown--;
  if (slot >= 0 && slot < ZUB_PROGRESS_SLOTS) p->slots[slot].size = size;
}

void zubProgressBytes(ZubProgress *p, int slot, uint32_t delta)
{
  p->bytesMoved += delta;
  if (slot < 0 || slot >= ZUB_PROGRESS_SLOTS) return;
  p->slots[slot].position += delta;
  p->slots[slot].moved += delta;
}

/* Clears the lines drawn last, leaving the cursor where the first was. */
static void clearBars(ZubProgress *p)
{
  if (p->linesDrawn == 0) return;
  char seq[32];
  int n = snprintf(seq, sizeof seq, "\r\033[%dA\033[J", p->linesDrawn);
  if (zubOsWriteTerminal(p->fd, seq, (size_t)n) < 0) return;
  p->linesDrawn = 0;
}

/* One line, cut to the width so that no line wraps (a wrapped line would
 * throw the redraw off by a row). */
static size_t putLine(char *buf, size_t at, size_t cap, const char *text, int width)
{
  size_t n = strlen(text);
  if ((int)n > width - 1) n = (size_t)(width - 1);
  if (at + n + 8 >= cap) return at;
  memcpy(buf + at, "\033[2K", 4);
  at += 4;
  memcpy(buf + at, text, n);
  at += n;
  buf[at++] = '\n';
  return at;
}

static void drawBars(ZubProgress *p, double now)
{
  char buf[ZUB_PROGRESS_SLOTS * 300 + 600], line[400], a[32], b[32], c[32], eta[32];
  int width = zubOsColumns(p->fd);
  size_t at = 0;
  if (p->linesDrawn > 0) at = (size_t)snprintf(buf, sizeof buf, "\r\033[%dA", p->linesDrawn);
  int lines = 0;
  /* The figures take 38 columns; the name gets the rest, cut at its start
   * (the end tells files apart). */
  int nameWidth = width - 1 - 38;
  if (nameWidth < 10) nameWidth = 10;
  for (int i = 0; i < ZUB_PROGRESS_SLOTS; i++) {
    ZubProgressSlot *s = &p->slots[i];
    if (!s->active) continue;
    char name[sizeof s->name];
    int n = (int)strlen(s->name);
    if (n > nameWidth) snprintf(name, sizeof name, "...%s", s->name + n - (nameWidth - 3));
    else snprintf(name, sizeof name, "%s", s->name);
    double took = now - s->started;
    double speed = took > 0.05 ? (double)s->moved / took : 0;
    zubFormatBytes((double)s->position, a, sizeof a);
    zubFormatBytes(speed, b, sizeof b);
    if (s->size > 0) {
      formatTime(speed > 0 ? (double)(s->size - s->position) / speed : -1, eta, sizeof eta);
      snprintf(line, sizeof line, "%-*s %10s %3d%% %10s/s %8s", nameWidth, name, a, (int)(s->position * 100 / s->size),
               b, eta);
    } else {
      snprintf(line, sizeof line, "%-*s %10s   -- %10s/s %8s", nameWidth, name, a, b, "--:--");
    }
    at = putLine(buf, at, sizeof buf, line, width);
    lines++;
  }
  double took = now - p->started;
  double speed = took > 0.05 ? (double)p->bytesMoved / took : 0;
  zubFormatBytes((double)p->bytesMoved, a, sizeof a);
  zubFormatBytes((double)p->bytesPlanned, b, sizeof b);
  zubFormatBytes(speed, c, sizeof c);
  if (p->sizesUnknown == 0 && speed > 0) formatTime((double)(p->bytesPlanned - p->bytesMoved) / speed, eta, sizeof eta);
  else snprintf(eta, sizeof eta, "--:--");
  int n = snprintf(line, sizeof line, "total: %d/%d files, %s of %s%s, %s/s, %s left", p->filesDone, p->filesPlanned,
                   a, b, p->sizesUnknown ? "+" : "", c, eta);
  if (p->filesFailed > 0 && n > 0 && (size_t)n < sizeof line)
    snprintf(line + n, sizeof line - (size_t)n, ", %d failed", p->filesFailed);
  at = putLine(buf, at, sizeof buf, line, width);
  lines++;
  if (at + 4 < sizeof buf) {
    memcpy(buf + at, "\033[J", 3);
    at += 3;
  }
  if (zubOsWriteTerminal(p->fd, buf, at) < 0) return;
  p->linesDrawn = lines;
  p->lastDraw = now;
}

void zubProgressFinished(ZubProgress *p, int slot, const char *name, int ok)
{
  if (ok) p->filesDone++;
  else p->filesFailed++;
  ZubProgressSlot *s = slot >= 0 && slot < ZUB_PROGRESS_SLOTS ? &p->slots[slot] : NULL;
  if (p->mode == PROGRESS_PLAIN) {
    char a[32], b[32];
    if (!ok) {
      fprintf(p->plain, "%s: failed\n", name);
    } else if (s != NULL) {
      double took = zubOsSeconds() - s->started;
      zubFormatBytes((double)s->moved, a, sizeof a);
      zubFormatBytes(took > 0 ? (double)s->moved / took : 0, b, sizeof b);
      fprintf(p->plain, "%s: %s in %.2f s (%s/s)\n", name, a, took, b);
    } else {
      fprintf(p->plain, "%s: complete already\n", name);
    }
    fflush(p->plain);
  }
  if (s != NULL) s->active = 0;
}

void zubProgressMessage(ZubProgress *p, const char *line)
{
  if (p->mode == PROGRESS_BAR) clearBars(p);
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
}

void zubProgressTick(ZubProgress *p, double now)
{
  if (p->mode != PROGRESS_BAR || p->filesPlanned == 0) return;
  if (now - p->lastDraw < 0.1) return;
  drawBars(p, now);
}

void zubProgressEnd(ZubProgress *p)
{
  if (p->mode != PROGRESS_BAR || p->filesPlanned == 0) return;
  /* The last picture: only the total line stays on the screen. */
  clearBars(p);
  for (int i = 0; i < ZUB_PROGRESS_SLOTS; i++) p->slots[i].active = 0;
  drawBars(p, zubOsSeconds());
}
