/*
 * zub.c - the zub command-line FTP client.  get, put, ls, mkdir, rm, rmdir
 * and quote over ftp:// and ftps:// URLs (or explicit TLS); up to 32
 * transfers at once, each on its own channel, all driven from this one
 * thread with zubDriver.
 *
 * Uses only the public API of the library (zub32.h).
 */
#define _DEFAULT_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "zub32.h"
#include "zub_listing.h"
#include "zub_os.h"
#include "zub_progress.h"
#include "zub_url.h"

/* Exit codes (also in the usage text and zub(1)). */
enum {
  EXIT_OK = 0,
  EXIT_INTERNAL = 1,
  EXIT_USAGE = 2,
  EXIT_LOCAL = 3,
  EXIT_CONNECT = 4,
  EXIT_LOGIN = 5,
  EXIT_SERVER = 6,
  EXIT_TIMEOUT = 7,
  EXIT_TRANSFER = 8,
  EXIT_INTERRUPTED = 130
};

#define MAX_CHANNELS 32
#define REMOTE_CAP 255   /* the library's limit for a server name */
#define LOCAL_CAP 254    /* the library's limit for a local path */
#define LIST_CAP (4 << 20)
/* Names are split from each other at this byte; it cannot occur in a name
 * zub accepts (control characters are refused), unlike the default ':'. */
#define NAME_SEPARATOR '\x01'
#define PART_SUFFIX ".zubpart"

enum JobKind { J_GET, J_PUT, J_WALK, J_MKD, J_LS, J_MKDIR, J_RM, J_RMDIR, J_QUOTE };
enum JobState { S_PENDING, S_RUNNING, S_DONE, S_FAILED };
enum Op { OP_NONE, OP_CONNECT, OP_TYPE, OP_PWD, OP_SIZE, OP_CWD, OP_LIST, OP_GET, OP_PUT, OP_MKD, OP_DELE,
          OP_RMD, OP_CMD, OP_QUIT };
enum Phase { W_UNUSED, W_CONNECTING, W_READY, W_BUSY, W_DEAD, W_CLOSING, W_CLOSED };

typedef struct Job {
  int kind;
  int state;
  char remote[ZUB_URL_PATH_CAP + 1]; /* as in the URL: relative to the login directory or absolute */
  char local[4096];
  char target[4096 + 16]; /* the local file the library writes (the part file unless -c) */
  const char *command; /* quote */
  long long size;      /* -1 unknown */
  long long offset;    /* where a continued transfer starts */
  long long done;      /* bytes moved by this run */
  uint32_t lastCount;
  int createdLocal;    /* the part or local file did not exist before */
  double started;
  char savedError[512];
  int savedCode;
  int slot;            /* its progress line, -1 none */
} Job;

typedef struct Worker {
  int ch;
  int phase;
  int op;
  Job *job;
  int32_t lastResult;
  double lastProgress;
  char home[REMOTE_CAP + 1];
  int traced;
  char *list; /* its listing buffer (LIST_CAP bytes), made when first needed */
} Worker;

typedef struct Options {
  int jobs;
  int passive;
  int cont;
  int recursive;
  int nlst;
  int progress;
  int timeout;
  const char *trace;
  const char *outFile;
  const char *outDir;
  int explicitTls;   /* --ssl-reqd: AUTH TLS on an ftp:// URL */
  int clearData;     /* --ftp-ssl-control: TLS for the login, data in clear */
  int insecure;      /* -k: the certificate is not checked */
  const char *caFile;
  int epsv;
  int pauses;        /* --pauses: the library's fixed pauses, for old servers */
} Options;

static Options opt = {1, 1, 0, 0, 0, PROGRESS_AUTO, 30, NULL, NULL, NULL, 0, 0, 0, NULL, 0, 0};
static ZubUrl server;
static char login[ZUB_LOGIN_CAP + 1], secret[ZUB_LOGIN_CAP + 1];
static Job **jobs;
static int jobCount, jobAlloc;
static Worker workers[MAX_CHANNELS];
static int workerCount;
static int anyLoggedIn;
static int exitCode;
static volatile sig_atomic_t interrupted;
static ZubProgress progress;
static char lastConnectError[1400];

/* ---- small helpers ---- */

/* Records a failure's exit code: the smallest code of all failures wins. */
static void noteFailure(int code)
{
  if (exitCode == EXIT_OK || code < exitCode) exitCode = code;
}

static void errorLine(const char *fmt, ...)
{
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  zubProgressMessage(&progress, line);
}

/* What the user sees for the server: never the password. */
static void serverText(char *out, size_t size)
{
  const char *scheme = server.implicitTls ? "ftps" : "ftp";
  if (server.port == (server.implicitTls ? 990 : 21)) snprintf(out, size, "%s://%s@%s", scheme, login, server.host);
  else snprintf(out, size, "%s://%s@%s:%d", scheme, login, server.host, server.port);
}

static int tlsWanted(void) { return server.implicitTls || opt.explicitTls; }

static void jobName(const Job *j, char *out, size_t size)
{
  static const char *const verbs[] = {"get", "put", "list", "mkdir", "ls", "mkdir", "rm", "rmdir", "quote"};
  char where[200];
  serverText(where, sizeof where);
  snprintf(out, size, "%s %s/%s", verbs[j->kind], where, j->remote);
}

static Job *addJob(int kind, const char *remote, const char *local)
{
  if (jobCount == jobAlloc) {
    jobAlloc = jobAlloc ? jobAlloc * 2 : 64;
    Job **grown = realloc(jobs, (size_t)jobAlloc * sizeof *jobs);
    if (grown == NULL) {
      fprintf(stderr, "zub: out of memory\n");
      exit(EXIT_INTERNAL);
    }
    jobs = grown;
  }
  Job *j = calloc(1, sizeof *j);
  if (j == NULL) {
    fprintf(stderr, "zub: out of memory\n");
    exit(EXIT_INTERNAL);
  }
  j->kind = kind;
  j->size = -1;
  j->slot = -1;
  snprintf(j->remote, sizeof j->remote, "%s", remote);
  if (local != NULL) snprintf(j->local, sizeof j->local, "%s", local);
  jobs[jobCount++] = j;
  return j;
}

/* "a" + "b" with one slash between; an empty part adds nothing. */
static void joinPath(char *out, size_t size, const char *a, const char *b)
{
  size_t n = strlen(a);
  if (n == 0) snprintf(out, size, "%s", b);
  else if (b[0] == '\0') snprintf(out, size, "%s", a);
  else snprintf(out, size, "%s%s%s", a, a[n - 1] == '/' ? "" : "/", b);
}

static const char *baseName(const char *path)
{
  size_t n = strlen(path);
  while (n > 1 && path[n - 1] == '/') n--;
  const char *p = path + n;
  while (p > path && p[-1] != '/') p--;
  return p;
}

/* The last part of a local path. */
static const char *localBaseName(const char *path)
{
  const char *p = path + strlen(path);
  while (p > path && !zubOsIsSeparator(p[-1])) p--;
  return p;
}

/* A local folder and the parents it lacks.  A part that is there already
 * may refuse to be made otherwise than with EEXIST (a drive, say). */
static int mkdirs(const char *path)
{
  char buf[4096];
  snprintf(buf, sizeof buf, "%s", path);
  for (char *p = buf + 1; *p != '\0'; p++) {
    if (!zubOsIsSeparator(*p)) continue;
    char sep = *p;
    *p = '\0';
    if (zubOsMakeDir(buf) != 0 && errno != EEXIST && zubOsKind(buf, NULL) != ZUB_OS_DIR) return -1;
    *p = sep;
  }
  if (zubOsMakeDir(buf) != 0 && errno != EEXIST) return -1;
  return zubOsKind(buf, NULL) == ZUB_OS_DIR ? 0 : -1;
}

/* ---- failures ---- */

static int classify(int op, int32_t code, int replyCode)
{
  if (code == ZUB_E_TIMEOUT || code == ZUB_E_ACCEPT_TIMEOUT || code == ZUB_E_NO_LISTEN_RESPONSE) return EXIT_TIMEOUT;
  if (op == OP_CONNECT) {
    if (code == ZUB_E_SERVER_ERROR) return replyCode == 530 ? EXIT_LOGIN : EXIT_SERVER;
    return EXIT_CONNECT;
  }
  if (code == ZUB_E_SERVER_ERROR || code == ZUB_E_TLS_REUSE) return EXIT_SERVER;
  if (code == ZUB_E_CANNOT_OPEN_FILE || code == ZUB_E_FILE_WRITE) return EXIT_LOCAL;
  return EXIT_TRANSFER;
}

/* "server said "550 ..." (library text)" for the channel's failure. */
static void describe(int ch, int32_t code, char *out, size_t size)
{
  char text[512], reply[512];
  zubErrorText(ch, code, text, (int32_t)sizeof text);
  text[strcspn(text, "\r\n")] = '\0';
  zubGetString(ch, ZUB_STR_LAST_REPLY, reply, (int32_t)sizeof reply - 1);
  reply[strcspn(reply, "\r\n")] = '\0';
  int replyCode = zubGetInteger(ch, ZUB_GET_REPLY_CODE);
  /* The texts of -18 and -9 end in the reply line, which is quoted apart. */
  size_t tl = strlen(text), rl = strlen(reply);
  if (rl > 0 && tl > rl && strcmp(text + tl - rl, reply) == 0) {
    text[tl - rl] = '\0';
    while (tl - rl > 0 && text[strlen(text) - 1] == ' ') text[strlen(text) - 1] = '\0';
  }
  if (text[0] == '\0') snprintf(text, sizeof text, "error %d", (int)code);
  if (replyCode >= 400 && rl > 0) snprintf(out, size, "server said \"%s\" (%s)", reply, text);
  else if (code == ZUB_E_TLS_CERTIFICATE)
    snprintf(out, size, "%s (--cacert FILE trusts the CA that signed it; --trace FILE shows the reason)", text);
  else snprintf(out, size, "%s", text);
}

static void removePartial(Job *j)
{
  if (j->kind != J_GET || j->target[0] == '\0') return;
  long long size = -1;
  /* A continued download keeps what it has, so a later -c goes on from there. */
  if (opt.cont && !(j->createdLocal && zubOsKind(j->target, &size) == ZUB_OS_FILE && size == 0)) return;
  remove(j->target);
}

static void fileEnded(Job *j, int ok)
{
  if (j->kind != J_GET && j->kind != J_PUT) return;
  zubProgressFinished(&progress, j->slot, j->local, ok);
  j->slot = -1;
}

static void failJob(Job *j, int code, const char *why)
{
  char name[2200];
  jobName(j, name, sizeof name);
  j->state = S_FAILED;
  removePartial(j);
  noteFailure(code);
  errorLine("zub: %s: %s", name, why);
  fileEnded(j, 0);
}

static void failJobLocal(Job *j, const char *path, const char *what)
{
  char why[4400];
  snprintf(why, sizeof why, "%s %s: %s", what, path, strerror(errno));
  failJob(j, EXIT_LOCAL, why);
}

/* ---- the channels ---- */

static int32_t armed(Worker *w, int op, int32_t result);

/* The library writes a PASS line with asterisks only, so the log may start
 * before the login and show why a login failed. */
static void traceOpen(Worker *w)
{
  if (opt.trace == NULL || w->traced) return;
  char path[4096];
  if (w->ch == 0) snprintf(path, sizeof path, "%s", opt.trace);
  else snprintf(path, sizeof path, "%s.%d", opt.trace, w->ch);
  w->traced = 1;
  if (zubSetString(w->ch, ZUB_STR_OPEN_LOG, path) <= 0) errorLine("zub: cannot create the trace log %s", path);
}

static void startWorker(Worker *w)
{
  traceOpen(w);
  w->phase = W_CONNECTING;
  w->job = NULL;
  armed(w, OP_CONNECT, zubConnect(w->ch, server.host, login, secret));
}

static void workerLostWith(Worker *w, const char *why, int exit)
{
  char where[200];
  serverText(where, sizeof where);
  w->phase = W_DEAD;
  /* Every channel of a run meets the same refusal: it is said once. */
  char line[1400];
  snprintf(line, sizeof line, "zub: %s: %s", where, why);
  if (strcmp(line, lastConnectError) != 0) {
    errorLine("%s", line);
    snprintf(lastConnectError, sizeof lastConnectError, "%s", line);
  }
  noteFailure(exit);
}

static void workerLost(Worker *w, int32_t code)
{
  char why[1024];
  describe(w->ch, code, why, sizeof why);
  workerLostWith(w, why, classify(OP_CONNECT, code, zubGetInteger(w->ch, ZUB_GET_REPLY_CODE)));
}

/* A connect made without blocking that the peer refused shows as an error on
 * the socket.  The library ends the connect with that code at its next step
 * too; asking here first words the failure in the system's own text. */
static int connectRefused(Worker *w)
{
  int err = zubOsSocketError(zubGetInteger(w->ch, ZUB_GET_CTRL_SOCKET));
  if (err == 0) return 0;
  zubAbort(w->ch);
  w->op = OP_NONE;
  workerLostWith(w, zubOsErrorText(err), EXIT_CONNECT);
  return 1;
}

/* The login directory from a 257 reply: the text between the first quote and
 * the closing one, doubled quotes standing for one. */
static void takeHome(Worker *w)
{
  char reply[512];
  zubGetString(w->ch, ZUB_STR_LAST_REPLY, reply, (int32_t)sizeof reply - 1);
  const char *p = strchr(reply, '"');
  size_t n = 0;
  w->home[0] = '/';
  w->home[1] = '\0';
  if (p == NULL) return;
  for (p++; *p != '\0' && n < REMOTE_CAP; p++) {
    if (*p == '"') {
      if (p[1] != '"') break;
      p++;
    }
    w->home[n++] = *p;
  }
  w->home[n] = '\0';
  if (n == 0) snprintf(w->home, sizeof w->home, "/");
}

/* The absolute server path of a job path; -1 when it does not fit. */
static int absolutePath(const Worker *w, const char *path, char *out)
{
  char buf[ZUB_URL_PATH_CAP * 2 + 2];
  if (path[0] == '/') snprintf(buf, sizeof buf, "%s", path);
  else joinPath(buf, sizeof buf, w->home, path);
  size_t n = strlen(buf);
  while (n > 1 && buf[n - 1] == '/') buf[--n] = '\0';
  if (n > REMOTE_CAP) return -1;
  memcpy(out, buf, n + 1);
  return 0;
}

static void jobDone(Worker *w, int32_t r);
static void startJob(Worker *w, Job *j);

/* Arms an operation; an operation refused at once ends at once. */
static int32_t armed(Worker *w, int op, int32_t result)
{
  w->op = op;
  w->lastResult = -1;
  w->lastProgress = zubOsSeconds();
  if (result < 0) {
    w->op = OP_NONE;
    if (op == OP_CONNECT || op == OP_TYPE || op == OP_PWD) workerLost(w, result);
    else jobDone(w, result);
  }
  return result;
}

/* After a failure other than a refusal the control connection may hold a
 * late reply or be gone: the channel logs in again before its next job. */
static void afterFailure(Worker *w, int32_t code)
{
  w->job = NULL;
  if (code == ZUB_E_SERVER_ERROR) {
    w->phase = W_READY;
    return;
  }
  zubAbort(w->ch);
  startWorker(w);
}

static void sessionStepDone(Worker *w, int op, int32_t r)
{
  if (r < 0) {
    workerLost(w, r);
    return;
  }
  if (op == OP_CONNECT) {
    armed(w, OP_TYPE, zubSetMode(w->ch, 'B'));
  } else if (op == OP_TYPE) {
    armed(w, OP_PWD, zubGetServerDir(w->ch, NULL, 0));
  } else {
    takeHome(w);
    w->phase = W_READY;
    anyLoggedIn = 1;
  }
}

/* ---- jobs ---- */

static long long replySize(int ch)
{
  char reply[512];
  zubGetString(ch, ZUB_STR_LAST_REPLY, reply, (int32_t)sizeof reply - 1);
  if (strncmp(reply, "213 ", 4) != 0) return -1;
  char *end = NULL;
  long long v = strtoll(reply + 4, &end, 10);
  return end != reply + 4 && v >= 0 ? v : -1;
}

/* The size in a "150 ... (12345 bytes)" reply, as several servers give it. */
static long long preliminarySize(int ch)
{
  char reply[512];
  zubGetString(ch, ZUB_STR_LAST_REPLY, reply, (int32_t)sizeof reply - 1);
  if (strncmp(reply, "150", 3) != 0 && strncmp(reply, "125", 3) != 0) return -1;
  const char *p = strrchr(reply, '(');
  if (p == NULL) return -1;
  char *end = NULL;
  long long v = strtoll(p + 1, &end, 10);
  return end != p + 1 && strncmp(end, " bytes", 6) == 0 ? v : -1;
}

static int setRestart(Worker *w, Job *j)
{
  if (j->offset > INT32_MAX) {
    failJob(j, EXIT_USAGE, "cannot continue a transfer beyond 2 GiB");
    return -1;
  }
  zubSetInteger(w->ch, ZUB_SET_RESTART, j->offset > 0);
  zubSetInteger(w->ch, ZUB_SET_RESTART_OFFSET, (int32_t)j->offset);
  zubSetInteger(w->ch, ZUB_SET_LOCAL_OFFSET, (int32_t)j->offset);
  return 0;
}

static void startGet(Worker *w, Job *j, const char *path)
{
  if (opt.cont) {
    snprintf(j->target, sizeof j->target, "%s", j->local);
    long long have = 0;
    j->offset = zubOsKind(j->target, &have) == ZUB_OS_FILE ? have : 0;
    if (j->size >= 0 && j->offset == j->size) {
      j->state = S_DONE;
      fileEnded(j, 1);
      w->job = NULL;
      return;
    }
    if (j->size >= 0 && j->offset > j->size) {
      failJob(j, EXIT_LOCAL, "the local file is longer than the server's; not continued");
      w->job = NULL;
      return;
    }
  } else {
    snprintf(j->target, sizeof j->target, "%s%s", j->local, PART_SUFFIX);
    j->offset = 0;
  }
  if (strlen(j->target) > LOCAL_CAP) {
    errno = ENAMETOOLONG;
    failJobLocal(j, j->target, "cannot write");
    w->job = NULL;
    return;
  }
  /* Made here so that a local path that cannot be written fails before the
   * server is asked for anything. */
  j->createdLocal = zubOsKind(j->target, NULL) == ZUB_OS_MISSING;
  FILE *made = fopen(j->target, opt.cont ? "ab" : "wb");
  if (made == NULL) {
    j->target[0] = '\0';
    failJobLocal(j, j->local, "cannot write");
    w->job = NULL;
    return;
  }
  fclose(made);
  if (setRestart(w, j) < 0) {
    w->job = NULL;
    return;
  }
  char names[REMOTE_CAP + LOCAL_CAP + 3];
  snprintf(names, sizeof names, "%s%c%s", path, NAME_SEPARATOR, j->target);
  j->lastCount = 0;
  j->started = zubOsSeconds();
  j->slot = zubProgressStarted(&progress, j->remote, j->offset, j->size);
  armed(w, OP_GET, zubGetFile(w->ch, names));
}

static void startPut(Worker *w, Job *j, const char *path)
{
  if (strlen(j->local) > LOCAL_CAP) {
    errno = ENAMETOOLONG;
    failJobLocal(j, j->local, "cannot read");
    w->job = NULL;
    return;
  }
  if (setRestart(w, j) < 0) {
    w->job = NULL;
    return;
  }
  char names[REMOTE_CAP + LOCAL_CAP + 3];
  snprintf(names, sizeof names, "%s%c%s", j->local, NAME_SEPARATOR, path);
  j->lastCount = 0;
  j->started = zubOsSeconds();
  j->slot = zubProgressStarted(&progress, j->local, j->offset, j->size);
  armed(w, OP_PUT, zubPutFile(w->ch, names));
}

/* Arms a listing into the worker's own buffer; kinds 2 and 3 send arg. */
static void startList(Worker *w, int kind, const char *arg)
{
  if (w->list == NULL && (w->list = malloc(LIST_CAP)) == NULL) {
    fprintf(stderr, "zub: out of memory\n");
    exit(EXIT_INTERNAL);
  }
  snprintf(w->list, LIST_CAP, "%s", arg);
  armed(w, OP_LIST, zubGetList(w->ch, kind, w->list, LIST_CAP));
}

/* In caller-driven use zubGetList reports no overflow: a block that did not
 * fit was dropped.  A block is at most 4094 bytes and is kept whenever it
 * fits, so with more than that still free nothing can have been dropped. */
static int listingComplete(const char *list) { return LIST_CAP - strlen(list) - 1 > 4094; }

static int nameIsSafe(const char *name)
{
  for (const char *p = name; *p != '\0'; p++)
    if ((unsigned char)*p < 0x20 || *p == '/' || *p == '\\' || *p == 0x7F) return 0;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

/* get -r: the entries of one server directory become jobs. */
static void walkListing(Job *j, char *list)
{
  char *line = list;
  while (*line != '\0') {
    char *end = strpbrk(line, "\r\n");
    char *next = end == NULL ? line + strlen(line) : end + 1;
    if (end != NULL) {
      if (*end == '\r' && end[1] == '\n') next++;
      *end = '\0';
    }
    ZubEntry e;
    int r = zubParseListLine(line, &e);
    char remote[ZUB_URL_PATH_CAP + 1], local[4096], name[2200];
    if (r < 0) {
      jobName(j, name, sizeof name);
      noteFailure(EXIT_SERVER);
      errorLine("zub: %s: a listing line zub cannot read: %s", name, line);
    } else if (r > 0 && !nameIsSafe(e.name)) {
      jobName(j, name, sizeof name);
      noteFailure(EXIT_SERVER);
      errorLine("zub: %s: refusing the listed name \"%s\"", name, e.name);
    } else if (r > 0) {
      joinPath(remote, sizeof remote, j->remote, e.name);
      joinPath(local, sizeof local, j->local, e.name);
      if (e.type == 'd') {
        if (mkdirs(local) != 0) {
          Job *sub = addJob(J_WALK, remote, local);
          failJobLocal(sub, local, "cannot create");
        } else {
          addJob(J_WALK, remote, local);
        }
      } else if (e.type == 'f') {
        addJob(J_GET, remote, local)->size = e.size;
        zubProgressPlanned(&progress, e.size);
      } else {
        errorLine("zub: skipping %s (%s)", remote, e.type == 'l' ? "a symbolic link" : "not a file");
      }
    }
    line = next;
  }
}

static void printListing(const char *list)
{
  for (const char *p = list; *p != '\0'; p++)
    if (*p != '\r') putchar(*p);
  fflush(stdout);
}

static void printReply(int ch)
{
  char text[8192];
  if (zubGetString(ch, ZUB_STR_REPLY_NOTES, text, (int32_t)sizeof text - 1) > 0)
    for (const char *p = text; *p != '\0'; p++)
      if (*p != '\r') putchar(*p);
  zubGetString(ch, ZUB_STR_LAST_REPLY, text, (int32_t)sizeof text - 1);
  for (const char *p = text; *p != '\0'; p++)
    if (*p != '\r') putchar(*p);
  if (text[0] != '\0' && text[strlen(text) - 1] != '\n') putchar('\n');
  fflush(stdout);
}

static void startJob(Worker *w, Job *j)
{
  char path[REMOTE_CAP + 1];
  w->job = j;
  w->phase = W_BUSY;
  j->state = S_RUNNING;
  if (absolutePath(w, j->remote, path) < 0) {
    failJob(j, EXIT_USAGE, "the server path is longer than 255 characters");
    w->job = NULL;
    w->phase = W_READY;
    return;
  }
  char cmd[REMOTE_CAP + 8];
  switch (j->kind) {
    case J_GET:
      if (j->size < 0 || opt.cont) {
        snprintf(cmd, sizeof cmd, "SIZE %s", path);
        armed(w, OP_SIZE, zubCommand(w->ch, cmd));
      } else {
        startGet(w, j, path);
      }
      break;
    case J_PUT:
      if (opt.cont) {
        snprintf(cmd, sizeof cmd, "SIZE %s", path);
        armed(w, OP_SIZE, zubCommand(w->ch, cmd));
      } else {
        startPut(w, j, path);
      }
      break;
    case J_WALK:
    case J_LS:
      if (j->kind == J_LS && j->remote[0] == '\0') startList(w, opt.nlst ? ZUB_NLST : ZUB_LIST, "");
      else armed(w, OP_CWD, zubSetServerDir(w->ch, path));
      break;
    case J_MKD:
    case J_MKDIR:
      armed(w, OP_MKD, zubMakeServerDir(w->ch, path));
      break;
    case J_RM:
      armed(w, OP_DELE, zubDelFile(w->ch, path));
      break;
    case J_RMDIR:
      armed(w, OP_RMD, zubDelServerDir(w->ch, path));
      break;
    case J_QUOTE:
      if (j->remote[0] != '\0') armed(w, OP_CWD, zubSetServerDir(w->ch, path));
      else armed(w, OP_CMD, zubCommand(w->ch, j->command));
      break;
  }
  if (w->job == NULL && w->phase == W_BUSY) w->phase = W_READY;
}

static void finishOk(Worker *w, Job *j)
{
  j->state = S_DONE;
  w->job = NULL;
  w->phase = W_READY;
}

/* An operation of the worker's job ended with r (0 or an error). */
static void jobDone(Worker *w, int32_t r)
{
  Job *j = w->job;
  int op = w->op;
  w->op = OP_NONE;
  char path[REMOTE_CAP + 1], why[1200];
  absolutePath(w, j->remote, path);
  if (op == OP_SIZE) {
    long long size = r == 0 ? replySize(w->ch) : -1;
    if (j->kind == J_GET) {
      if (size >= 0 && j->size < 0) {
        j->size = size;
        zubProgressSizeKnown(&progress, -1, size);
      }
      startGet(w, j, path);
    } else {
      long long have = 0;
      int local = zubOsKind(j->local, &have) == ZUB_OS_FILE;
      j->offset = size > 0 ? size : 0;
      if (local && j->offset > have) {
        failJob(j, EXIT_LOCAL, "the server's file is longer than the local one; not continued");
        finishOk(w, j);
        j->state = S_FAILED;
        return;
      }
      if (local && j->offset == have && j->offset > 0) {
        fileEnded(j, 1);
        finishOk(w, j);
        return;
      }
      startPut(w, j, path);
    }
    if (w->job == NULL) w->phase = W_READY;
    return;
  }
  if (r < 0) {
    if (op == OP_CWD && j->kind == J_LS) {
      /* Not a directory, perhaps a file: list it by name. */
      describe(w->ch, r, j->savedError, sizeof j->savedError);
      j->savedCode = r;
      startList(w, opt.nlst ? ZUB_NLST_ARG : ZUB_LIST_ARG, path);
      return;
    }
    if (op == OP_MKD && j->kind == J_MKD && r == ZUB_E_SERVER_ERROR) {
      /* put -r into a tree that exists already: the folder is there. */
      describe(w->ch, r, j->savedError, sizeof j->savedError);
      j->savedCode = r;
      armed(w, OP_CWD, zubSetServerDir(w->ch, path));
      return;
    }
    if (op == OP_CWD && j->kind == J_MKD) {
      failJob(j, EXIT_SERVER, j->savedError);
      afterFailure(w, r);
      return;
    }
    describe(w->ch, r, why, sizeof why);
    failJob(j, classify(op, r, zubGetInteger(w->ch, ZUB_GET_REPLY_CODE)), why);
    afterFailure(w, r);
    return;
  }
  switch (op) {
    case OP_GET:
    case OP_PUT:
      if (j->size >= 0 && j->offset + j->done != j->size) {
        snprintf(why, sizeof why, "incomplete: %lld of %lld bytes", j->offset + j->done, j->size);
        failJob(j, EXIT_TRANSFER, why);
        finishOk(w, j);
        j->state = S_FAILED;
        return;
      }
      if (op == OP_GET && !opt.cont && rename(j->target, j->local) != 0) {
        failJobLocal(j, j->local, "cannot write");
        finishOk(w, j);
        j->state = S_FAILED;
        return;
      }
      fileEnded(j, 1);
      finishOk(w, j);
      return;
    case OP_CWD:
      if (j->kind == J_QUOTE) armed(w, OP_CMD, zubCommand(w->ch, j->command));
      else if (j->kind == J_MKD) finishOk(w, j);
      else startList(w, j->kind == J_LS && opt.nlst ? ZUB_NLST : ZUB_LIST, "");
      return;
    case OP_LIST:
      if (!listingComplete(w->list)) {
        failJob(j, EXIT_SERVER, "the listing is longer than zub takes (4 MiB)");
        finishOk(w, j);
        j->state = S_FAILED;
        return;
      }
      /* Some servers answer a listing of a missing name with an empty one:
       * what names neither a folder nor a file fails as the CWD did. */
      if (j->kind == J_LS && j->savedCode != 0 && w->list[0] == '\0') {
        failJob(j, EXIT_SERVER, j->savedError);
        finishOk(w, j);
        j->state = S_FAILED;
        return;
      }
      if (j->kind == J_LS) printListing(w->list);
      else walkListing(j, w->list);
      finishOk(w, j);
      return;
    case OP_CMD:
      printReply(w->ch);
      finishOk(w, j);
      return;
    default:
      finishOk(w, j);
      return;
  }
}

/* ---- the loop ---- */

/* The next job a ready channel may take: files of put -r wait until every
 * server folder exists, and the folders are made one at a time, parents
 * first. */
static Job *nextJob(int *pending)
{
  int mkdOpen = 0;
  *pending = 0;
  for (int i = 0; i < jobCount; i++)
    if (jobs[i]->kind == J_MKD && (jobs[i]->state == S_PENDING || jobs[i]->state == S_RUNNING)) mkdOpen = 1;
  Job *pick = NULL;
  for (int i = 0; i < jobCount; i++) {
    Job *j = jobs[i];
    if (j->state != S_PENDING) continue;
    (*pending)++;
    if (pick != NULL) continue;
    if (j->kind == J_PUT && mkdOpen) continue;
    if (j->kind == J_MKD) {
      int running = 0;
      for (int k = 0; k < jobCount; k++)
        if (jobs[k]->kind == J_MKD && jobs[k]->state == S_RUNNING) running = 1;
      if (running) continue;
    }
    pick = j;
  }
  return pick;
}

static int jobsRunning(void)
{
  int n = 0;
  for (int i = 0; i < jobCount; i++) n += jobs[i]->state == S_RUNNING;
  return n;
}

/* Moves the byte counter of a running transfer into its job; true when it moved. */
static int countBytes(Worker *w)
{
  if (w->job == NULL || (w->op != OP_GET && w->op != OP_PUT)) return 0;
  Job *j = w->job;
  /* The library's counters are 32-bit: the difference is taken modulo 2^32. */
  uint32_t count = (uint32_t)zubGetInteger(w->ch, w->op == OP_GET ? ZUB_GET_BYTES : ZUB_PUT_BYTES);
  uint32_t delta = count - j->lastCount;
  if (delta == 0) return 0;
  j->lastCount = count;
  j->done += delta;
  zubProgressBytes(&progress, j->slot, delta);
  return 1;
}

static void onInterrupt(int sig)
{
  (void)sig;
  interrupted = 1;
}

/* Waits a little after a round in which no channel moved: a few yields
 * first, so a transfer whose data is about to arrive loses nothing. */
static void idleWait(int rounds)
{
  if (rounds < 16) {
    zubOsYield();
    return;
  }
  zubOsPause(rounds < 400 ? 50 : 1000);
}

/* The TLS settings of every channel; 0, or -1 when the library refuses them
 * (a build without TLS). */
static int setupTls(int ch)
{
  if (!tlsWanted()) return 0;
  int32_t mode = server.implicitTls ? 2 : 1;
  if (zubSetInteger(ch, ZUB_SET_TLS, mode) != mode) return -1;
  if (zubSetInteger(ch, ZUB_SET_TLS_VERIFY, !opt.insecure) != !opt.insecure) return -1;
  if (zubSetInteger(ch, ZUB_SET_DATA_PROTECTION, opt.clearData ? 'C' : 'P') < 0) return -1;
  if (opt.caFile != NULL && zubSetString(ch, ZUB_STR_CA_FILE, opt.caFile) < 0) return -1;
  return 0;
}

static int setupChannels(int channels)
{
  int32_t ms = opt.timeout * 1000;
  zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, NAME_SEPARATOR);
  /* The pauses after PASS, the lingers after a close and the wait before an
   * upload's data connection is closed serve old servers; kept, each closed
   * data connection holds every channel of this thread for 62 ms (300 ms
   * after an upload).  Without them a close is graceful: no byte is lost. */
  zubSetInteger(0, ZUB_SET_PAUSES, opt.pauses);
  if (!opt.pauses) zubSetInteger(0, ZUB_SET_CLOSE_DELAY, 0);
  /* The library sleeps this long at its gates, holding every channel of
   * this thread: 1 ms instead of 10. */
  zubSetInteger(0, ZUB_SET_SLEEP_TIME, 1);
  /* An upload step sends one block: the largest the library takes. */
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 8192);
  zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, ms);
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, ms);
  zubSetInteger(0, ZUB_SET_SEND_TIMEOUT, ms);
  zubSetInteger(0, ZUB_SET_DATA_TIMEOUT, ms);
  for (int i = 0; i < channels; i++) {
    Worker *w = &workers[i];
    memset(w, 0, sizeof *w);
    w->ch = i;
    zubSetInteger(i, ZUB_SET_AUTO_CALL, 0);
    zubSetInteger(i, ZUB_SET_BLOCKING_CONNECT, 0);
    zubSetInteger(i, ZUB_SET_CTRL_PORT, server.port);
    zubSetInteger(i, ZUB_SET_PASSIVE, opt.passive);
    zubSetInteger(i, ZUB_SET_EPSV, opt.epsv);
    zubSetLocalDir(i, ""); /* local names are paths of their own */
    if (setupTls(i) < 0) return -1;
  }
  return 0;
}

static void closeChannels(void)
{
  double until = zubOsSeconds() + 3;
  for (int i = 0; i < workerCount; i++) {
    Worker *w = &workers[i];
    if (w->phase == W_READY) {
      w->phase = W_CLOSING;
      w->op = OP_QUIT;
      if (zubClose(w->ch) < 0) w->phase = W_CLOSED;
    }
  }
  for (int open = 1; open && zubOsSeconds() < until;) {
    open = 0;
    for (int i = 0; i < workerCount; i++) {
      if (workers[i].phase != W_CLOSING) continue;
      int32_t r = zubDriver(workers[i].ch);
      if (r <= 0) workers[i].phase = W_CLOSED;
      else open = 1;
    }
    if (open) idleWait(64);
  }
}

static void interruptAll(void)
{
  for (int i = 0; i < workerCount; i++) {
    Worker *w = &workers[i];
    if (w->phase == W_UNUSED || w->phase == W_DEAD) continue;
    zubAbort(w->ch);
    if (w->job != NULL && w->job->state == S_RUNNING) {
      w->job->state = S_FAILED;
      removePartial(w->job);
    }
  }
  for (int i = 0; i < jobCount; i++)
    if (jobs[i]->state == S_RUNNING) removePartial(jobs[i]);
  zubProgressMessage(&progress, "zub: interrupted");
  exitCode = EXIT_INTERRUPTED;
}

/* Gives ready channels their next jobs and starts channels while jobs wait
 * for one.  1 when the run is over; *again when it is to run next round. */
static int scheduleJobs(int *again)
{
  int pending = 0, live = 0, ready = 0;
  for (int i = 0; i < workerCount; i++) {
    Worker *w = &workers[i];
    if (w->phase != W_READY) continue;
    Job *j = nextJob(&pending);
    if (j == NULL) break;
    startJob(w, j);
    *again = 1;
  }
  nextJob(&pending);
  for (int i = 0; i < workerCount; i++) {
    int p = workers[i].phase;
    live += p == W_CONNECTING || p == W_READY || p == W_BUSY;
    ready += p == W_READY || p == W_CONNECTING;
  }
  /* More channels only once one has logged in: a refused login is met once. */
  if (anyLoggedIn && pending > ready) {
    for (int i = 0; i < workerCount; i++)
      if (workers[i].phase == W_UNUSED) {
        startWorker(&workers[i]);
        live++;
        *again = 1;
        break;
      }
  }
  if (pending == 0 && jobsRunning() == 0) return 1;
  if (live == 0) {
    int unused = 0;
    for (int i = 0; i < workerCount; i++) unused += workers[i].phase == W_UNUSED;
    if (!anyLoggedIn || unused == 0) {
      for (int i = 0; i < jobCount; i++)
        if (jobs[i]->state == S_PENDING) jobs[i]->state = S_FAILED;
      if (pending > 0 && lastConnectError[0] == '\0')
        errorLine("zub: %d not done: no connection to the server", pending);
      return 1;
    }
    for (int i = 0; i < workerCount; i++)
      if (workers[i].phase == W_UNUSED) {
        startWorker(&workers[i]);
        *again = 1;
        break;
      }
  }
  return 0;
}

/* Runs every job; the exit code. */
static int runJobs(int channels)
{
  int32_t attached = zubAttach(channels, 0);
  if (attached != 1) {
    fprintf(stderr, "zub: the library cannot attach %d channels (%d)\n", channels, (int)attached);
    return EXIT_INTERNAL;
  }
  workerCount = channels;
  if (setupChannels(channels) < 0) {
    fprintf(stderr, "zub: this build of the library has no TLS\n");
    zubRelease();
    return EXIT_INTERNAL;
  }
  zubOsOnInterrupt(onInterrupt);
  startWorker(&workers[0]);

  int idleRounds = 0, schedule = 1;
  double watchdog = opt.timeout + 5.0;
  for (;;) {
    if (interrupted) {
      interruptAll();
      break;
    }
    int moved = 0;
    double now = zubOsSeconds();
    for (int i = 0; i < workerCount; i++) {
      Worker *w = &workers[i];
      if (w->op == OP_NONE) continue;
      int32_t r = zubDriver(w->ch);
      int stepMoved = r <= 0 || (r != ZUB_BUSY && r != w->lastResult);
      w->lastResult = r;
      stepMoved |= countBytes(w);
      if (r <= 0) {
        schedule = 1;
        int op = w->op;
        w->op = OP_NONE;
        if (op == OP_CONNECT || op == OP_TYPE || op == OP_PWD) sessionStepDone(w, op, r);
        else {
          w->op = op;
          jobDone(w, r);
        }
      } else if (w->job != NULL && w->job->size < 0 && r != ZUB_BUSY && stepMoved && w->op == OP_GET) {
        long long size = preliminarySize(w->ch);
        if (size >= 0) {
          w->job->size = size;
          zubProgressSizeKnown(&progress, w->job->slot, size);
        }
      }
      if (!stepMoved && w->op == OP_CONNECT && connectRefused(w)) {
        moved = 1;
        schedule = 1;
      } else if (stepMoved) {
        moved = 1;
        w->lastProgress = now;
      } else if (now - w->lastProgress > watchdog) {
        /* The library's own time limits should have ended this already; a
         * run never outlives --timeout by much. */
        zubAbort(w->ch);
        w->op = OP_NONE;
        if (w->phase == W_CONNECTING) {
          workerLost(w, ZUB_E_TIMEOUT);
        } else if (w->job != NULL) {
          failJob(w->job, EXIT_TIMEOUT, "no progress within --timeout");
          afterFailure(w, ZUB_E_TIMEOUT);
        }
        moved = 1;
        schedule = 1;
      }
    }

    /* Jobs and channels change only when an operation ends (or a watchdog
     * fires): the scheduling, which walks every job, runs only then. */
    if (schedule) {
      schedule = 0;
      if (scheduleJobs(&schedule)) break;
      moved |= schedule;
    }
    zubProgressTick(&progress, now);
    if (moved) idleRounds = 0;
    else idleWait(idleRounds++);
  }
  zubProgressEnd(&progress);
  if (!interrupted) closeChannels();
  zubRelease();
  return exitCode;
}

/* ---- login ---- */

static int readNetrc(const char *user)
{
  char path[4096], text[65536], err[256], foundLogin[256], foundPass[256];
  if (!zubOsNetrcPath(path, sizeof path)) return 0;
  long n = zubOsReadPrivate(path, text, sizeof text);
  if (n == -2) {
    fprintf(stderr, "zub: %s can be read by other users; it is not used (chmod 600 it)\n", path);
    return -1;
  }
  if (n < 0) return 0;
  int r = zubNetrcLookup(text, server.host, user, foundLogin, sizeof foundLogin, foundPass, sizeof foundPass, err,
                         sizeof err);
  if (r < 0) {
    fprintf(stderr, "zub: %s\n", err);
    return -1;
  }
  if (r == 0) return 0;
  if (!zubLoginTextOk(foundLogin) || !zubLoginTextOk(foundPass)) {
    fprintf(stderr, "zub: the ~/.netrc entry for %s is longer than 64 characters or holds a control character\n",
            server.host);
    return -1;
  }
  memcpy(login, foundLogin, strlen(foundLogin) + 1);
  memcpy(secret, foundPass, strlen(foundPass) + 1);
  return 1;
}

/* The login: the URL's, then ZUB_USER / ZUB_PASSWORD, then ~/.netrc, then
 * anonymous.  0 or an exit code. */
static int resolveLogin(void)
{
  const char *envUser = getenv("ZUB_USER"), *envPass = getenv("ZUB_PASSWORD");
  if (server.hasPassword) {
    fprintf(stderr, "zub: warning: a password in the URL can be seen by other users of this machine; "
                    "use ZUB_PASSWORD or ~/.netrc\n");
    snprintf(login, sizeof login, "%s", server.user);
    snprintf(secret, sizeof secret, "%s", server.password);
    return 0;
  }
  const char *user = server.hasUser ? server.user : envUser;
  if (envPass != NULL && envPass[0] != '\0' && user != NULL && user[0] != '\0') {
    if (!zubLoginTextOk(user) || !zubLoginTextOk(envPass)) {
      fprintf(stderr, "zub: ZUB_USER or ZUB_PASSWORD is longer than 64 characters or holds a control character\n");
      return EXIT_USAGE;
    }
    snprintf(login, sizeof login, "%s", user);
    snprintf(secret, sizeof secret, "%s", envPass);
    return 0;
  }
  int r = readNetrc(user);
  if (r < 0) return EXIT_USAGE;
  if (r > 0) return 0;
  if (user != NULL && user[0] != '\0') {
    if (!zubLoginTextOk(user)) {
      fprintf(stderr, "zub: ZUB_USER is longer than 64 characters or holds a control character\n");
      return EXIT_USAGE;
    }
    fprintf(stderr, "zub: no password for %s on %s: set ZUB_PASSWORD or add a ~/.netrc entry\n", user, server.host);
    return EXIT_USAGE;
  }
  snprintf(login, sizeof login, "anonymous");
  snprintf(secret, sizeof secret, "zub@");
  return 0;
}

/* ---- command line ---- */

static const char USAGE[] =
    "usage: zub get [-r] URL... [-o FILE | -d DIR]   download (get -r URL DIR: a whole tree)\n"
    "       zub put [-r] FILE... URL                 upload (put -r DIR URL: a whole tree)\n"
    "       zub ls [-1] URL                          list a server directory (-1: names only)\n"
    "       zub mkdir URL...  |  zub rm URL...  |  zub rmdir URL...\n"
    "       zub quote URL COMMAND...                 send commands, print the replies\n"
    "\n"
    "URL: ftp://[user[:password]@]host[:port]/path  (%%XX escapes; \"//path\" is absolute,\n"
    "     a path is otherwise relative to the login directory)\n"
    "     ftps://...  TLS from the first byte (implicit TLS, port 990 unless the URL names one)\n"
    "Login: the URL's user and password (a warning: others can see it), else ZUB_USER and\n"
    "     ZUB_PASSWORD from the environment, else the ~/.netrc entry of the host, else anonymous.\n"
    "\n"
    "options:\n"
    "  -j N            up to N transfers at once, one channel each (1-32, default 1)\n"
    "  -r              a whole directory tree\n"
    "  -c              continue partial files: downloads with REST, uploads with APPE;\n"
    "                  a failed download keeps its partial file only with -c\n"
    "  -o FILE         the local file of a single download\n"
    "  -d DIR          the local directory of downloads (default .)\n"
    "  -1              ls: names only (NLST)\n"
    "  --active        active data connections (PORT)\n"
    "  --passive       passive data connections (PASV, the default)\n"
    "  --epsv          passive data connections with EPSV (PASV if the server refuses it)\n"
    "  --pauses        the library's fixed pauses for old servers: a wait after the password,\n"
    "                  before closing an upload and after each close (else a graceful close)\n"
    "  --ssl-reqd, --ftp-ssl\n"
    "                  TLS on an ftp:// URL (AUTH TLS), required: a server that refuses it\n"
    "                  gets no login; every data connection in TLS too\n"
    "  --ftp-ssl-control\n"
    "                  TLS for the login and commands only, data connections in clear\n"
    "  --cacert FILE   trust the CA certificates of the PEM file FILE (else the system's)\n"
    "  -k, --insecure  TLS without checking the server's certificate: anyone on the way\n"
    "                  can pose as the server and read the password (test servers only)\n"
    "  --timeout S     give up on a connection, reply or data silent for S seconds (default 30)\n"
    "  --trace FILE    trace log of channel 0 in FILE, of channel N in FILE.N\n"
    "  -q              no progress, only errors\n"
    "  --progress=MODE auto (bars on a terminal, default), bar, plain (a line per file), none\n"
    "  -h, --help      this text\n"
    "\n"
    "exit codes:\n"
    "  0  every operation succeeded\n"
    "  1  internal error (the library could not start)\n"
    "  2  usage: unknown option, malformed URL, no password\n"
    "  3  a local file could not be read or written\n"
    "  4  the server could not be reached, or no TLS session (refused, certificate, handshake)\n"
    "  5  the server refused the login\n"
    "  6  the server refused an operation (its reply is printed)\n"
    "  7  timed out\n"
    "  8  a transfer broke off or was incomplete\n"
    "  130 interrupted\n"
    "When several operations fail for different reasons, the smallest code is returned.\n";

static int usageError(const char *fmt, const char *arg)
{
  fprintf(stderr, "zub: ");
  fprintf(stderr, fmt, arg);
  fprintf(stderr, "\n(zub --help shows the usage)\n");
  return EXIT_USAGE;
}

static int numberArg(const char *text, int min, int max, int *out)
{
  char *end = NULL;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return -1;
  *out = (int)v;
  return 0;
}

static int parseUrlArg(const char *text, ZubUrl *url)
{
  char err[256];
  if (zubUrlParse(text, url, err, sizeof err) == 0) return 0;
  /* The URL itself may carry a password: only the reason is printed. */
  fprintf(stderr, "zub: malformed URL: %s\n", err);
  return -1;
}

/* Every URL of a run must name the server of the first. */
static int sameServer(const ZubUrl *a, const ZubUrl *b)
{
  return strcasecmp(a->host, b->host) == 0 && a->port == b->port && a->implicitTls == b->implicitTls &&
         strcmp(a->user, b->user) == 0 &&
         strcmp(a->password, b->password) == 0;
}

/* put -r: server folders (parents first) and files for a local tree. */
static int walkLocal(const char *local, const char *remote)
{
  ZubOsDir *d = zubOsOpenDir(local);
  if (d == NULL) {
    fprintf(stderr, "zub: cannot read %s: %s\n", local, strerror(errno));
    noteFailure(EXIT_LOCAL);
    return 0;
  }
  const char *name;
  char subLocal[4096], subRemote[ZUB_URL_PATH_CAP + 1];
  char **subdirs = NULL;
  int nsub = 0;
  while ((name = zubOsNextEntry(d)) != NULL) {
    joinPath(subLocal, sizeof subLocal, local, name);
    joinPath(subRemote, sizeof subRemote, remote, name);
    long long size = 0;
    int kind = zubOsKind(subLocal, &size);
    if (kind == ZUB_OS_MISSING) {
      fprintf(stderr, "zub: cannot read %s: %s\n", subLocal, strerror(errno));
      noteFailure(EXIT_LOCAL);
      continue;
    }
    if (kind == ZUB_OS_DIR) {
      addJob(J_MKD, subRemote, subLocal);
      char **grown = realloc(subdirs, (size_t)(nsub + 1) * sizeof *subdirs);
      if (grown == NULL) exit(EXIT_INTERNAL);
      subdirs = grown;
      subdirs[nsub++] = strdup(subLocal);
    } else if (kind == ZUB_OS_FILE) {
      addJob(J_PUT, subRemote, subLocal)->size = size;
    }
  }
  zubOsCloseDir(d);
  for (int i = 0; i < nsub; i++) {
    joinPath(subRemote, sizeof subRemote, remote, subdirs[i] + strlen(local) + 1);
    walkLocal(subdirs[i], subRemote);
    free(subdirs[i]);
  }
  free(subdirs);
  return 0;
}

/* Two transfers into one file would write it at once: refused.  0, or the
 * usage exit code after naming the file. */
static int refuseSharedTargets(int kind)
{
  for (int i = 0; i < jobCount; i++)
    for (int k = i + 1; k < jobCount; k++) {
      if (jobs[i]->kind != kind || jobs[k]->kind != kind) continue;
      const char *a = kind == J_GET ? jobs[i]->local : jobs[i]->remote;
      const char *b = kind == J_GET ? jobs[k]->local : jobs[k]->remote;
      if (strcmp(a, b) == 0) return usageError("two transfers would write %s", a);
    }
  return 0;
}

/* Whether the folder a local file is to be made in exists (errno if not). */
static int parentIsDirectory(const char *path)
{
  char dir[4096];
  snprintf(dir, sizeof dir, "%s", path);
  char *slash = NULL;
  for (char *p = dir; *p != '\0'; p++)
    if (zubOsIsSeparator(*p)) slash = p;
  if (slash == NULL) return 1;
  if (slash == dir) slash[1] = '\0';
  else *slash = '\0';
  int kind = zubOsKind(dir, NULL);
  if (kind == ZUB_OS_MISSING) return 0;
  if (kind == ZUB_OS_DIR) return 1;
  errno = ENOTDIR;
  return 0;
}

static int cmdGet(char **args, int count)
{
  if (count == 0) return usageError("%sget needs a URL", "");
  const char *dir = opt.outDir != NULL ? opt.outDir : ".";
  if (opt.recursive) {
    if (count != 2 || opt.outFile != NULL) return usageError("%sget -r takes one URL and one local directory", "");
    if (parseUrlArg(args[0], &server) < 0) return EXIT_USAGE;
    if (mkdirs(args[1]) != 0) {
      fprintf(stderr, "zub: cannot create %s: %s\n", args[1], strerror(errno));
      return EXIT_LOCAL;
    }
    addJob(J_WALK, server.path, args[1]);
    return 0;
  }
  if (opt.outFile != NULL && count != 1) return usageError("%s-o names the file of a single download", "");
  for (int i = 0; i < count; i++) {
    ZubUrl u;
    if (parseUrlArg(args[i], &u) < 0) return EXIT_USAGE;
    if (i == 0) server = u;
    else if (!sameServer(&server, &u)) return usageError("%sall URLs of one run must name the same server", "");
    if (u.endsInSlash || u.path[0] == '\0') return usageError("%s names a directory: use get -r", args[i]);
    char local[4096];
    if (opt.outFile != NULL) snprintf(local, sizeof local, "%s", opt.outFile);
    else joinPath(local, sizeof local, strcmp(dir, ".") == 0 ? "" : dir, baseName(u.path));
    if (!parentIsDirectory(local)) {
      fprintf(stderr, "zub: cannot write %s: %s\n", local, strerror(errno));
      return EXIT_LOCAL;
    }
    addJob(J_GET, u.path, local);
  }
  return refuseSharedTargets(J_GET);
}

static int cmdPut(char **args, int count)
{
  if (count < 2) return usageError("%sput needs local files and a URL", "");
  if (parseUrlArg(args[count - 1], &server) < 0) return EXIT_USAGE;
  if (opt.recursive) {
    if (count != 2) return usageError("%sput -r takes one local directory and one URL", "");
    if (zubOsKind(args[0], NULL) != ZUB_OS_DIR) {
      fprintf(stderr, "zub: %s: not a directory\n", args[0]);
      return EXIT_LOCAL;
    }
    char top[ZUB_URL_PATH_CAP + 1];
    snprintf(top, sizeof top, "%s", server.path);
    size_t n = strlen(top);
    while (n > 1 && top[n - 1] == '/') top[--n] = '\0';
    /* The target and any parent it lacks, as mkdir -p would. */
    for (char *p = top + 1; *p != '\0'; p++) {
      if (*p != '/') continue;
      *p = '\0';
      addJob(J_MKD, top, args[0]);
      *p = '/';
    }
    if (top[0] != '\0') addJob(J_MKD, top, args[0]);
    char local[4096];
    snprintf(local, sizeof local, "%s", args[0]);
    n = strlen(local);
    while (n > 1 && zubOsIsSeparator(local[n - 1])) local[--n] = '\0';
    return walkLocal(local, top);
  }
  int intoDir = server.endsInSlash || count > 2;
  for (int i = 0; i < count - 1; i++) {
    long long size = 0;
    int kind = zubOsKind(args[i], &size);
    if (kind != ZUB_OS_FILE) {
      fprintf(stderr, "zub: %s: %s\n", args[i], kind == ZUB_OS_MISSING ? strerror(errno) : "not a file (use -r)");
      noteFailure(EXIT_LOCAL);
      continue;
    }
    char remote[ZUB_URL_PATH_CAP + 1];
    if (intoDir) joinPath(remote, sizeof remote, server.path, localBaseName(args[i]));
    else snprintf(remote, sizeof remote, "%s", server.path);
    addJob(J_PUT, remote, args[i])->size = size;
  }
  return refuseSharedTargets(J_PUT);
}

static int cmdSimple(int kind, char **args, int count)
{
  if (count == 0) return usageError("%sa URL is needed", "");
  opt.jobs = 1; /* in the order given: rm before rmdir */
  for (int i = 0; i < count; i++) {
    ZubUrl u;
    if (parseUrlArg(args[i], &u) < 0) return EXIT_USAGE;
    if (i == 0) server = u;
    else if (!sameServer(&server, &u)) return usageError("%sall URLs of one run must name the same server", "");
    if (u.path[0] == '\0' && kind != J_LS) return usageError("%s names no path", args[i]);
    addJob(kind, u.path, NULL);
  }
  return 0;
}

static int cmdQuote(char **args, int count)
{
  if (count < 2) return usageError("%squote needs a URL and a command", "");
  opt.jobs = 1;
  if (parseUrlArg(args[0], &server) < 0) return EXIT_USAGE;
  for (int i = 1; i < count; i++) {
    for (const char *p = args[i]; *p != '\0'; p++)
      if ((unsigned char)*p < 0x20) return usageError("%sa command may not hold a line break", "");
    if (strlen(args[i]) > 250) return usageError("%sa command is longer than 250 characters", "");
    Job *j = addJob(J_QUOTE, i == 1 ? server.path : "", NULL);
    j->command = args[i];
  }
  return 0;
}

/* The TLS options against the URL: a certificate option without TLS would
 * let the password go in clear to a user who believes it protected.  0 or
 * an exit code. */
static int checkTlsOptions(void)
{
  if (!tlsWanted() && (opt.insecure || opt.caFile != NULL))
    return usageError("%s-k and --cacert are for TLS: use an ftps:// URL or --ssl-reqd", "");
  if (opt.caFile != NULL) {
    /* The library takes a path of up to 255 characters; a longer one would
     * name another file. */
    if (strlen(opt.caFile) > 255) return usageError("%s--cacert: the path is longer than 255 characters", "");
    FILE *ca = fopen(opt.caFile, "rb");
    if (ca == NULL) {
      fprintf(stderr, "zub: cannot read %s: %s\n", opt.caFile, strerror(errno));
      return EXIT_LOCAL;
    }
    fclose(ca);
  }
  if (opt.insecure)
    fprintf(stderr, "zub: warning: --insecure: the server's certificate is not checked; anyone on the way can "
                    "pose as the server\n");
  return 0;
}

static char **args; /* the operands of the command line */

int main(int argc, char **argv)
{
  if (argc < 2) {
    fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  const char *cmd = argv[1];
  if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0 || strcmp(cmd, "help") == 0) {
    printf(USAGE);
    return EXIT_OK;
  }
  /* Kept in a global: the many early returns below leave it to exit. */
  args = calloc((size_t)argc, sizeof *args);
  int count = 0, quiet = 0, onlyArgs = 0;
  if (args == NULL) return EXIT_INTERNAL;
  for (int i = 2; i < argc; i++) {
    const char *a = argv[i];
    const char *value = NULL;
    if (onlyArgs || a[0] != '-' || a[1] == '\0') {
      args[count++] = argv[i];
      continue;
    }
    if (strcmp(a, "--") == 0) onlyArgs = 1;
    else if (strcmp(a, "-r") == 0) opt.recursive = 1;
    else if (strcmp(a, "-c") == 0) opt.cont = 1;
    else if (strcmp(a, "-q") == 0) quiet = 1;
    else if (strcmp(a, "-1") == 0) opt.nlst = 1;
    else if (strcmp(a, "--active") == 0) opt.passive = 0;
    else if (strcmp(a, "--passive") == 0) opt.passive = 1;
    else if (strcmp(a, "--epsv") == 0) opt.epsv = 1;
    else if (strcmp(a, "--pauses") == 0) opt.pauses = 1;
    else if (strcmp(a, "--ssl-reqd") == 0 || strcmp(a, "--ftp-ssl") == 0) opt.explicitTls = 1;
    else if (strcmp(a, "--ftp-ssl-control") == 0) opt.explicitTls = opt.clearData = 1;
    else if (strcmp(a, "-k") == 0 || strcmp(a, "--insecure") == 0) opt.insecure = 1;
    else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      printf(USAGE);
      return EXIT_OK;
    } else if (strncmp(a, "--progress=", 11) == 0) {
      const char *m = a + 11;
      if (strcmp(m, "auto") == 0) opt.progress = PROGRESS_AUTO;
      else if (strcmp(m, "bar") == 0) opt.progress = PROGRESS_BAR;
      else if (strcmp(m, "plain") == 0) opt.progress = PROGRESS_PLAIN;
      else if (strcmp(m, "none") == 0) opt.progress = PROGRESS_NONE;
      else return usageError("unknown progress mode %s", m);
    } else if (strncmp(a, "-j", 2) == 0 || strcmp(a, "-o") == 0 || strcmp(a, "-d") == 0 ||
               strncmp(a, "--trace", 7) == 0 || strncmp(a, "--timeout", 9) == 0 || strncmp(a, "--cacert", 8) == 0) {
      const char *eq = strchr(a, '=');
      size_t nameLen = eq != NULL ? (size_t)(eq - a) : strlen(a);
      if (strncmp(a, "-j", 2) == 0 && a[2] != '\0') {
        value = a + 2;
        nameLen = 2;
      } else if (eq != NULL && a[1] == '-') {
        value = eq + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return usageError("%s needs a value", a);
      }
      if (strncmp(a, "-j", nameLen) == 0 && nameLen == 2) {
        if (numberArg(value, 1, MAX_CHANNELS, &opt.jobs) < 0) return usageError("-j takes 1 to 32, not %s", value);
      } else if (strcmp(a, "-o") == 0) {
        opt.outFile = value;
      } else if (strcmp(a, "-d") == 0) {
        opt.outDir = value;
      } else if (nameLen == 7 && strncmp(a, "--trace", 7) == 0) {
        opt.trace = value;
      } else if (nameLen == 8 && strncmp(a, "--cacert", 8) == 0) {
        opt.caFile = value;
      } else if (nameLen == 9 && strncmp(a, "--timeout", 9) == 0) {
        if (numberArg(value, 1, 86400, &opt.timeout) < 0)
          return usageError("--timeout takes seconds from 1 to 86400, not %s", value);
      } else {
        return usageError("unknown option %s", a);
      }
    } else {
      return usageError("unknown option %s", a);
    }
  }
  if (quiet) opt.progress = PROGRESS_NONE;

  int r;
  if (strcmp(cmd, "get") == 0) r = cmdGet(args, count);
  else if (strcmp(cmd, "put") == 0) r = cmdPut(args, count);
  else if (strcmp(cmd, "ls") == 0) r = count == 1 ? cmdSimple(J_LS, args, count) : usageError("%sls takes one URL", "");
  else if (strcmp(cmd, "mkdir") == 0) r = cmdSimple(J_MKDIR, args, count);
  else if (strcmp(cmd, "rm") == 0) r = cmdSimple(J_RM, args, count);
  else if (strcmp(cmd, "rmdir") == 0) r = cmdSimple(J_RMDIR, args, count);
  else if (strcmp(cmd, "quote") == 0) r = cmdQuote(args, count);
  else r = usageError("unknown command %s", cmd);
  if (r != 0) return r;
  r = checkTlsOptions();
  if (r != 0) return r;
  if (jobCount == 0) return exitCode != EXIT_OK ? exitCode : EXIT_OK;
  r = resolveLogin();
  if (r != 0) return r;

  zubProgressInit(&progress, opt.progress, fileno(stderr), stdout);
  for (int i = 0; i < jobCount; i++)
    if (jobs[i]->kind == J_GET || jobs[i]->kind == J_PUT) zubProgressPlanned(&progress, jobs[i]->size);
  int early = exitCode;
  r = runJobs(opt.jobs);
  if (early != EXIT_OK && (r == EXIT_OK || early < r)) r = early;
  memset(secret, 0, sizeof secret);
  return r;
}
