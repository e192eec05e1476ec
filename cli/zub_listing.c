/*
 * zub_listing.c - listing lines into names, types and sizes.
 */
#define _DEFAULT_SOURCE
#include "zub_listing.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "zub32.h"

static const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static int isMonth(const char *field)
{
  for (int i = 0; i < 12; i++)
    if (strcasecmp(field, MONTHS[i]) == 0) return 1;
  return 0;
}

static int isBlank(char c) { return c == ' ' || c == '\t'; }

/* The position just after field n (counted as zubExtract counts them). */
static const char *afterField(const char *line, int n)
{
  const char *p = line;
  for (int i = 0; i < n; i++) {
    while (isBlank(*p)) p++;
    while (*p != '\0' && !isBlank(*p)) p++;
  }
  return p;
}

static int field(const char *line, int n, char *out, int cap) { return zubExtract(line, 0, n, out, cap); }

/* Field n as a size.  zubFileLength counts in 32 bits and would wrap the
 * size of a file above 2 GiB, so the digits are read here in 64 bits. */
static long long sizeField(const char *line, int n)
{
  char f[32];
  int len = field(line, n, f, 31);
  if (len == 0 || len > 18) return -1;
  long long v = 0;
  for (int i = 0; i < len; i++) {
    if (f[i] < '0' || f[i] > '9') return -1;
    v = v * 10 + (f[i] - '0');
  }
  return v;
}

/* Stores the name; -1 when it is empty or too long. */
static int takeName(ZubEntry *entry, const char *name)
{
  size_t n = strlen(name);
  if (n == 0 || n > ZUB_NAME_CAP) return -1;
  memcpy(entry->name, name, n + 1);
  if (entry->type == 'l') {
    char *arrow = strstr(entry->name, " -> ");
    if (arrow != NULL) *arrow = '\0';
  }
  if (strcmp(entry->name, ".") == 0 || strcmp(entry->name, "..") == 0) return 0;
  return 1;
}

/* "-rw-r--r--  1 owner group  200009 Dec 08 03:18 a b.bin"; some servers
 * leave out the group, so the size is found as the field before the month. */
static int parseUnix(const char *line, ZubEntry *entry)
{
  char f[64];
  field(line, 1, f, 63);
  switch (f[0]) {
    case '-': entry->type = 'f'; break;
    case 'd': entry->type = 'd'; break;
    case 'l': entry->type = 'l'; break;
    default: entry->type = 'o'; break;
  }
  int month = 0;
  for (int n = 4; n <= 7 && month == 0; n++) {
    if (field(line, n, f, 63) > 0 && isMonth(f)) month = n;
  }
  if (month == 0) return -1;
  entry->size = sizeField(line, month - 1);
  /* The name follows the time or year after exactly one blank, so names
   * that begin with blanks keep them. */
  const char *p = afterField(line, month + 2);
  if (*p != ' ' && *p != '\t') return -1;
  return takeName(entry, p + 1);
}

/* "12-08-26  03:18PM       <DIR>          sub dir" */
static int parseDos(const char *line, ZubEntry *entry)
{
  char f[64];
  field(line, 3, f, 63);
  if (strcmp(f, "<DIR>") == 0) {
    entry->type = 'd';
    entry->size = -1;
  } else {
    entry->type = 'f';
    entry->size = sizeField(line, 3);
    if (entry->size < 0) return -1;
  }
  const char *p = afterField(line, 3);
  while (isBlank(*p)) p++;
  return takeName(entry, p);
}

int zubParseListLine(const char *line, ZubEntry *entry)
{
  char f[64];
  memset(entry, 0, sizeof *entry);
  entry->size = -1;
  if (field(line, 1, f, 63) == 0) return 0;
  if (strcmp(f, "total") == 0) return 0;
  if (strlen(f) == 10 && strchr("-dlbcps", f[0]) != NULL) return parseUnix(line, entry);
  if ((strlen(f) == 8 || strlen(f) == 10) && f[2] == '-' && f[5] == '-') return parseDos(line, entry);
  return -1;
}
