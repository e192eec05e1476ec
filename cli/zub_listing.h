/*
 * zub_listing.h - one line of a server's LIST reply, taken apart with the
 * library's listing utilities (Unix "ls -l" and DOS-style layouts).
 */
#ifndef ZUB_LISTING_H
#define ZUB_LISTING_H

#ifdef __cplusplus
extern "C" {
#endif

#define ZUB_NAME_CAP 255

typedef struct ZubEntry {
  char name[ZUB_NAME_CAP + 1];
  char type;       /* 'f' file, 'd' directory, 'l' symbolic link, 'o' other */
  long long size;  /* -1 when the line shows none */
} ZubEntry;

/* Reads one listing line (without its line end).  1: an entry; 0: a line to
 * pass over ("total N", ".", ".."); -1: a line in no known layout. */
int zubParseListLine(const char *line, ZubEntry *entry);

#ifdef __cplusplus
}
#endif

#endif /* ZUB_LISTING_H */
