/*
 * zub_url.h - ftp:// and ftps:// URLs and the lookup of a login for the zub client.
 * Kept apart from the program so the tests can link it alone.
 */
#ifndef ZUB_URL_H
#define ZUB_URL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library stores host, user and password in 64 characters; longer ones
 * would be cut and name another account, so they are refused. */
#define ZUB_LOGIN_CAP 64
#define ZUB_URL_PATH_CAP 1023

typedef struct ZubUrl {
  char host[ZUB_LOGIN_CAP + 1];
  char user[ZUB_LOGIN_CAP + 1];
  char password[ZUB_LOGIN_CAP + 1];
  /* Decoded; relative to the login directory, absolute when it starts with '/'
   * (written "ftp://host//dir" in the URL).  Empty: the login directory. */
  char path[ZUB_URL_PATH_CAP + 1];
  int port;          /* 21 (ftps: 990) unless the URL names one */
  int implicitTls;   /* ftps://: TLS from the first byte */
  int hasUser;
  int hasPassword;   /* the URL carried one, possibly empty */
  int endsInSlash;   /* the path was written as a directory (or is empty) */
} ZubUrl;

/* Parses text into url.  0, or -1 with a one-line reason in err (which never
 * quotes the password). */
int zubUrlParse(const char *text, ZubUrl *url, char *err, size_t errSize);

/* Looks host (and user, when not null or empty) up in the text of a netrc
 * file: the first "machine" entry for the host, else the "default" entry.
 * 1 found (login and password stored), 0 none, -1 malformed (reason in err). */
int zubNetrcLookup(const char *netrc, const char *host, const char *user, char *login, size_t loginSize,
                   char *password, size_t passwordSize, char *err, size_t errSize);

/* A login text is usable when it fits the library and holds no control
 * character (a CR or LF would end the command line early). */
int zubLoginTextOk(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* ZUB_URL_H */
