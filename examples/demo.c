/*
 * demo.c - one whole FTP session with ZUB32, written the way an application
 * would use the library.
 *
 *   zub_demo HOST PORT USER PASSWORD WORKDIR
 *
 * Attaches one channel, opens a trace log (WORKDIR/zub-trace.log), connects,
 * makes a directory on the server, uploads a file, lists the directory,
 * downloads the file again, compares both copies, cleans up on the server,
 * closes the session and releases the library.  Every step is printed with
 * its result; the exit status is 0 when every step succeeded.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sample_files.h"
#include "zub32.h"

static int failures = 0;

/* Prints one step with its result and the library's text for an error. */
static int32_t step(const char *what, int32_t result, int ok)
{
  char text[256];
  printf("%-34s -> %d", what, (int)result);
  if (!ok) {
    failures++;
    if (zubErrorText(0, result, text, (int32_t)sizeof text) > 0) printf("  (%s)", text);
    printf("  FAILED");
  }
  printf("\n");
  return result;
}

int main(int argc, char **argv)
{
  char path[1024], copy[1024], listing[8192], dir[256];
  int32_t r;
  if (argc != 6) {
    fprintf(stderr, "usage: %s HOST PORT USER PASSWORD WORKDIR\n", argv[0]);
    return 2;
  }
  snprintf(path, sizeof path, "%s/upload.bin", argv[5]);
  snprintf(copy, sizeof copy, "%s/download.bin", argv[5]);
  if (!write_sample(path, 300000)) {
    fprintf(stderr, "cannot write %s\n", path);
    return 2;
  }

  step("zubAttach(1 channel)", zubAttach(1, 0), 1);
  snprintf(dir, sizeof dir, "%s/zub-trace.log", argv[5]);
  r = zubSetString(0, ZUB_STR_OPEN_LOG, dir);
  step("zubSetString(open trace log)", r, r > 0);
  step("zubSetInteger(control port)", zubSetInteger(0, ZUB_SET_CTRL_PORT, atoi(argv[2])), 1);
  step("zubSetInteger(passive mode)", zubSetInteger(0, ZUB_SET_PASSIVE, 1), 1);
  r = zubSetLocalDir(0, argv[5]);
  step("zubSetLocalDir(WORKDIR)", r, r == 0);

  r = zubConnect(0, argv[1], argv[3], argv[4]);
  step("zubConnect", r, r == 0);
  if (r == 0) {
    r = zubSetMode(0, 'B');
    step("zubSetMode('B')", r, r == 0);
    r = zubMakeServerDir(0, "zub-demo");
    step("zubMakeServerDir(zub-demo)", r, r == 0);
    r = zubSetServerDir(0, "zub-demo");
    step("zubSetServerDir(zub-demo)", r, r == 0);
    r = zubGetServerDir(0, dir, (int32_t)sizeof dir - 1);
    step("zubGetServerDir", r, r > 0);
    if (r > 0) printf("    server directory: %s\n", dir);
    r = zubPutFile(0, "upload.bin:demo.bin");
    step("zubPutFile(upload.bin:demo.bin)", r, r == 0);
    printf("    bytes sent: %d\n", (int)zubGetInteger(0, ZUB_PUT_BYTES));
    r = zubGetList(0, ZUB_LIST, listing, (int32_t)sizeof listing);
    step("zubGetList(LIST)", r, r >= 0);
    if (r >= 0) printf("    listing:\n%s", listing);
    r = zubGetFile(0, "demo.bin:download.bin");
    step("zubGetFile(demo.bin:download.bin)", r, r == 0);
    printf("    bytes received: %d\n", (int)zubGetInteger(0, ZUB_GET_BYTES));
    r = same_files(path, copy);
    step("compare upload and download", r, r == 1);
    r = zubDelFile(0, "demo.bin");
    step("zubDelFile(demo.bin)", r, r == 0);
    r = zubSetServerDir(0, "..");
    step("zubSetServerDir(..)", r, r == 0);
    r = zubDelServerDir(0, "zub-demo");
    step("zubDelServerDir(zub-demo)", r, r == 0);
    r = zubClose(0);
    step("zubClose", r, r == 0);
  }
  step("zubRelease", zubRelease(), 1);
  printf("%s; the trace log is %s/zub-trace.log\n", failures ? "demo FAILED" : "demo passed", argv[5]);
  return failures ? 1 : 0;
}
