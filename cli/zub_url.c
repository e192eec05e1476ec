/*
 * zub_url.c - ftp:// and ftps:// URLs (with percent escapes) and netrc entries.
 */
#define _DEFAULT_SOURCE
#include "zub_url.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

static int hexValue(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Decodes n bytes of src into dst (cap bytes with the terminator).  0, -1 for
 * a bad escape, -2 for a control character (NUL, CR, LF...), -3 when too long. */
static int decodePart(const char *src, size_t n, char *dst, size_t cap)
{
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)src[i];
    if (c == '%') {
      if (i + 2 >= n) return -1;
      int hi = hexValue(src[i + 1]), lo = hexValue(src[i + 2]);
      if (hi < 0 || lo < 0) return -1;
      c = (unsigned char)(hi * 16 + lo);
      i += 2;
    }
    if (c < 0x20 || c == 0x7F) return -2;
    if (out + 1 >= cap) return -3;
    dst[out++] = (char)c;
  }
  dst[out] = '\0';
  return 0;
}

static int fail(char *err, size_t errSize, const char *what)
{
  snprintf(err, errSize, "%s", what);
  return -1;
}

static int decodeOrFail(const char *src, size_t n, char *dst, size_t cap, const char *name, char *err,
                        size_t errSize)
{
  int r = decodePart(src, n, dst, cap);
  if (r == 0) return 0;
  if (r == -1) snprintf(err, errSize, "bad %%-escape in the %s", name);
  else if (r == -2) snprintf(err, errSize, "the %s holds a control character", name);
  else snprintf(err, errSize, "the %s is longer than %u characters", name, (unsigned)(cap - 1));
  return -1;
}

int zubUrlParse(const char *text, ZubUrl *url, char *err, size_t errSize)
{
  memset(url, 0, sizeof *url);
  const char *auth;
  if (text != NULL && strncasecmp(text, "ftp://", 6) == 0) {
    auth = text + 6;
    url->port = 21;
  } else if (text != NULL && strncasecmp(text, "ftps://", 7) == 0) {
    auth = text + 7;
    url->port = 990;
    url->implicitTls = 1;
  } else {
    return fail(err, errSize, "a URL starts with ftp:// or ftps://");
  }
  const char *slash = strchr(auth, '/');
  size_t authLen = slash != NULL ? (size_t)(slash - auth) : strlen(auth);

  /* The last '@' ends the login part: a password may hold an unescaped '@'. */
  const char *at = NULL;
  for (size_t i = 0; i < authLen; i++)
    if (auth[i] == '@') at = auth + i;
  const char *hostStart = auth;
  if (at != NULL) {
    const char *colon = memchr(auth, ':', (size_t)(at - auth));
    size_t userLen = colon != NULL ? (size_t)(colon - auth) : (size_t)(at - auth);
    if (userLen == 0) return fail(err, errSize, "the user name before '@' is empty");
    if (decodeOrFail(auth, userLen, url->user, sizeof url->user, "user name", err, errSize) < 0) return -1;
    url->hasUser = 1;
    if (colon != NULL) {
      if (decodeOrFail(colon + 1, (size_t)(at - colon - 1), url->password, sizeof url->password, "password", err,
                       errSize) < 0)
        return -1;
      url->hasPassword = 1;
    }
    hostStart = at + 1;
  }

  size_t hostLen = (size_t)(auth + authLen - hostStart);
  if (hostLen > 0 && hostStart[0] == '[') return fail(err, errSize, "IPv6 addresses are not supported");
  const char *portSep = memchr(hostStart, ':', hostLen);
  size_t nameLen = portSep != NULL ? (size_t)(portSep - hostStart) : hostLen;
  if (nameLen == 0) return fail(err, errSize, "the URL names no host");
  if (nameLen > ZUB_LOGIN_CAP) return fail(err, errSize, "the host name is longer than 64 characters");
  for (size_t i = 0; i < nameLen; i++) {
    char c = hostStart[i];
    int ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
             c == '_';
    if (!ok) return fail(err, errSize, "the host name holds a character other than letters, digits, '.', '-', '_'");
  }
  memcpy(url->host, hostStart, nameLen);
  url->host[nameLen] = '\0';
  if (portSep != NULL) {
    const char *p = portSep + 1;
    size_t n = (size_t)(hostStart + hostLen - p);
    long port = 0;
    if (n == 0 || n > 5) return fail(err, errSize, "the port is not a number from 1 to 65535");
    for (size_t i = 0; i < n; i++) {
      if (p[i] < '0' || p[i] > '9') return fail(err, errSize, "the port is not a number from 1 to 65535");
      port = port * 10 + (p[i] - '0');
    }
    if (port < 1 || port > 65535) return fail(err, errSize, "the port is not a number from 1 to 65535");
    url->port = (int)port;
  }

  if (slash == NULL) {
    url->endsInSlash = 1;
    return 0;
  }
  const char *path = slash + 1;
  size_t pathLen = strlen(path);
  if (decodeOrFail(path, pathLen, url->path, sizeof url->path, "path", err, errSize) < 0) return -1;
  url->endsInSlash = pathLen == 0 || path[pathLen - 1] == '/';
  return 0;
}

int zubLoginTextOk(const char *text)
{
  size_t n = 0;
  for (; text[n] != '\0'; n++)
    if ((unsigned char)text[n] < 0x20 || text[n] == 0x7F) return 0;
  return n <= ZUB_LOGIN_CAP;
}

/* ---- netrc ---- */

typedef struct {
  const char *p;
  char token[256];
} Tokens;

/* The next blank-separated token, double quotes and backslashes as in
 * other clients' netrc readers.  0 at the end, -1 for a token too long. */
static int nextToken(Tokens *t)
{
  const char *p = t->p;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == ',') p++;
  if (*p == '\0') {
    t->p = p;
    return 0;
  }
  size_t n = 0;
  int quoted = *p == '"';
  if (quoted) p++;
  while (*p != '\0') {
    if (quoted ? *p == '"' : (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) break;
    if (*p == '\\' && p[1] != '\0') p++;
    if (n + 1 >= sizeof t->token) return -1;
    t->token[n++] = *p++;
  }
  if (quoted && *p == '"') p++;
  t->token[n] = '\0';
  t->p = p;
  return 1;
}

/* A macro definition runs to the first empty line. */
static void skipMacro(Tokens *t)
{
  const char *p = strchr(t->p, '\n');
  while (p != NULL && p[1] != '\0' && p[1] != '\n' && !(p[1] == '\r' && p[2] == '\n')) p = strchr(p + 1, '\n');
  t->p = p != NULL ? p + 1 : t->p + strlen(t->p);
}

int zubNetrcLookup(const char *netrc, const char *host, const char *user, char *login, size_t loginSize,
                   char *password, size_t passwordSize, char *err, size_t errSize)
{
  Tokens t = {netrc, {0}};
  int inEntry = 0, matches = 0, isDefault = 0;
  char entryLogin[256] = "", entryPassword[256] = "";
  int haveLogin = 0, havePassword = 0, found = 0;
  char foundLogin[256] = "", foundPassword[256] = "";
  for (;;) {
    int r = nextToken(&t);
    if (r < 0) return fail(err, errSize, "~/.netrc holds a token longer than 255 characters");
    int endsEntry = r == 0 || strcmp(t.token, "machine") == 0 || strcmp(t.token, "default") == 0;
    if (endsEntry && inEntry && matches && haveLogin && havePassword &&
        (user == NULL || user[0] == '\0' || strcmp(user, entryLogin) == 0)) {
      /* A machine entry wins over "default" wherever it stands. */
      if (!isDefault) {
        snprintf(login, loginSize, "%s", entryLogin);
        snprintf(password, passwordSize, "%s", entryPassword);
        return 1;
      }
      if (!found) {
        found = 1;
        snprintf(foundLogin, sizeof foundLogin, "%s", entryLogin);
        snprintf(foundPassword, sizeof foundPassword, "%s", entryPassword);
      }
    }
    if (r == 0) break;
    if (strcmp(t.token, "machine") == 0) {
      if (nextToken(&t) != 1) return fail(err, errSize, "~/.netrc: \"machine\" without a name");
      inEntry = 1;
      isDefault = 0;
      matches = strcasecmp(t.token, host) == 0;
      haveLogin = havePassword = 0;
    } else if (strcmp(t.token, "default") == 0) {
      inEntry = 1;
      isDefault = 1;
      matches = 1;
      haveLogin = havePassword = 0;
    } else if (strcmp(t.token, "login") == 0 || strcmp(t.token, "password") == 0 ||
               strcmp(t.token, "account") == 0) {
      int isLogin = t.token[0] == 'l', isPassword = t.token[0] == 'p';
      if (nextToken(&t) != 1) return fail(err, errSize, "~/.netrc: a keyword without its value");
      if (isLogin) {
        snprintf(entryLogin, sizeof entryLogin, "%s", t.token);
        haveLogin = 1;
      } else if (isPassword) {
        snprintf(entryPassword, sizeof entryPassword, "%s", t.token);
        havePassword = 1;
      }
    } else if (strcmp(t.token, "macdef") == 0) {
      skipMacro(&t);
    } else {
      return fail(err, errSize, "~/.netrc holds an unknown keyword");
    }
  }
  if (!found) return 0;
  snprintf(login, loginSize, "%s", foundLogin);
  snprintf(password, passwordSize, "%s", foundPassword);
  return 1;
}
