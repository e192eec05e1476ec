/*
 * sample_files.h - the sample file the demo sessions upload, and the byte
 * comparison of the copy they download.  Shared by examples/demo.c and the
 * Windows callers' test.
 */
#ifndef ZUB_SAMPLE_FILES_H
#define ZUB_SAMPLE_FILES_H

#include <stdio.h>

static int write_sample(const char *path, long size)
{
  FILE *f = fopen(path, "wb");
  long i;
  if (f == NULL) return 0;
  for (i = 0; i < size; i++) fputc((int)((i * 131 + i / 251) & 0xFF), f);
  return fclose(f) == 0;
}

static int same_files(const char *a, const char *b)
{
  FILE *fa = fopen(a, "rb"), *fb = fopen(b, "rb");
  int same = fa != NULL && fb != NULL;
  while (same) {
    int ca = fgetc(fa), cb = fgetc(fb);
    if (ca != cb) same = 0;
    if (ca == EOF || cb == EOF) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return same;
}

#endif
