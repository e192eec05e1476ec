/*
 * first.c - a first program with ZUB32: writes hello.txt, uploads it,
 * downloads it again as hello-copy.txt.
 *
 *   first PORT USER PASSWORD      (a server on 127.0.0.1, e.g. scripts/ftp-server.sh)
 */
#include <stdio.h>
#include <stdlib.h>

#include <zub32.h>

int main(int argc, char **argv)
{
  char text[300];
  int32_t r;
  FILE *f;
  if (argc != 4) {
    fprintf(stderr, "usage: %s PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
  f = fopen("hello.txt", "w");
  if (f == NULL || fputs("hello from ZUB32\n", f) < 0 || fclose(f) != 0) return 2;

  zubAttach(1, 0);                                     /* one channel: 0 */
  zubSetString(0, ZUB_STR_OPEN_LOG, "trace.log");      /* optional trace log */
  zubSetInteger(0, ZUB_SET_CTRL_PORT, atoi(argv[1]));  /* the server's control port */
  zubSetInteger(0, ZUB_SET_PASSIVE, 1);                /* passive data connections */
  r = zubConnect(0, "127.0.0.1", argv[2], argv[3]);
  if (r == 0) {
    r = zubSetMode(0, 'B');                            /* binary transfers */
    if (r == 0) r = zubPutFile(0, "hello.txt");        /* local name = server name */
    if (r == 0) r = zubGetFile(0, "hello.txt:hello-copy.txt"); /* server name : local name */
    zubClose(0);
  }
  if (r < 0 && zubErrorText(0, r, text, (int32_t)sizeof text) > 0) fprintf(stderr, "error %d: %s\n", (int)r, text);
  zubRelease();
  printf("%s\n", r == 0 ? "uploaded hello.txt and downloaded it as hello-copy.txt" : "failed");
  return r == 0 ? 0 : 1;
}
