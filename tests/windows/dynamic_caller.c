/*
 * dynamic_caller.c - one whole FTP session through ZUB32.dll bound the way
 * languages without import libraries bind it: LoadLibraryA, GetProcAddress
 * of the plain names, and calls through __stdcall function pointers.
 *
 *   dynamic_caller HOST PORT USER PASSWORD WORKDIR
 *
 * Attach, connect, make a directory, upload, list, download, compare,
 * clean up, close, release.  Prints "dynamic caller: N passed, M failed";
 * exits 0 only when nothing failed.
 */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sample_files.h"

typedef int32_t(__stdcall *Fn0)(void);
typedef int32_t(__stdcall *FnI)(int32_t);
typedef int32_t(__stdcall *FnII)(int32_t, int32_t);
typedef int32_t(__stdcall *FnIII)(int32_t, int32_t, int32_t);
typedef int32_t(__stdcall *FnIS)(int32_t, const char *);
typedef int32_t(__stdcall *FnIISI)(int32_t, int32_t, char *, int32_t);
typedef int32_t(__stdcall *FnISSS)(int32_t, const char *, const char *, const char *);

static int passed = 0, failed = 0;
static HMODULE module;

/* As void (*)(void): the one function type a cast to any other is made from. */
typedef void (*AnyFn)(void);

static AnyFn fn(const char *name)
{
  AnyFn p = (AnyFn)GetProcAddress(module, name);
  if (p == NULL) {
    printf("FAILED: GetProcAddress(%s)\n", name);
    failed++;
  }
  return p;
}

static int step(const char *what, int32_t result, int ok)
{
  printf("%-32s -> %d%s\n", what, (int)result, ok ? "" : "  FAILED");
  if (ok) passed++;
  else failed++;
  return ok;
}

int main(int argc, char **argv)
{
  char path[1024], copy[1024], listing[8192], dirName[64];
  int32_t r;
  if (argc != 6) {
    printf("usage: dynamic_caller HOST PORT USER PASSWORD WORKDIR\n");
    return 2;
  }
  snprintf(path, sizeof path, "%s\\up.bin", argv[5]);
  snprintf(copy, sizeof copy, "%s\\down.bin", argv[5]);
  snprintf(dirName, sizeof dirName, "zub-dyn-%lu", (unsigned long)GetCurrentProcessId());
  if (!write_sample(path, 200000)) {
    printf("cannot write %s\n", path);
    return 2;
  }
  module = LoadLibraryA("ZUB32.dll");
  if (!step("LoadLibraryA(ZUB32.dll)", module != NULL, module != NULL)) {
    printf("dynamic caller: %d passed, %d failed\n", passed, failed);
    return 1;
  }
  {
    FnII attach = (FnII)fn("zubAttach");
    Fn0 release = (Fn0)fn("zubRelease");
    FnIII setInteger = (FnIII)fn("zubSetInteger");
    FnII getInteger = (FnII)fn("zubGetInteger");
    FnIS setLocalDir = (FnIS)fn("zubSetLocalDir");
    FnISSS connect = (FnISSS)fn("zubConnect");
    FnII setMode = (FnII)fn("zubSetMode");
    FnIS makeDir = (FnIS)fn("zubMakeServerDir");
    FnIS setDir = (FnIS)fn("zubSetServerDir");
    FnIS putFile = (FnIS)fn("zubPutFile");
    FnIISI getList = (FnIISI)fn("zubGetList");
    FnIS getFile = (FnIS)fn("zubGetFile");
    FnIS delFile = (FnIS)fn("zubDelFile");
    FnIS delDir = (FnIS)fn("zubDelServerDir");
    FnI close = (FnI)fn("zubClose");
    if (failed > 0) {
      printf("dynamic caller: %d passed, %d failed\n", passed, failed);
      return 1;
    }
    r = attach(1, 0);
    step("zubAttach(1)", r, r == 1);
    r = setInteger(0, 9, atoi(argv[2]));
    step("zubSetInteger(port)", r, r >= 0);
    r = setInteger(0, 12, 1);
    step("zubSetInteger(passive)", r, r >= 0);
    r = setLocalDir(0, argv[5]);
    step("zubSetLocalDir", r, r == 0);
    r = connect(0, argv[1], argv[3], argv[4]);
    if (step("zubConnect", r, r == 0)) {
      r = setMode(0, 'B');
      step("zubSetMode('B')", r, r == 0);
      r = makeDir(0, dirName);
      step("zubMakeServerDir", r, r == 0);
      r = setDir(0, dirName);
      step("zubSetServerDir", r, r == 0);
      r = putFile(0, "up.bin:remote.bin");
      step("zubPutFile", r, r == 0);
      r = getInteger(0, 12);
      step("bytes sent", r, r == 200000);
      r = getList(0, 0, listing, (int32_t)sizeof listing);
      step("zubGetList(LIST)", r, r > 0 && strstr(listing, "remote.bin") != NULL);
      r = getFile(0, "remote.bin:down.bin");
      step("zubGetFile", r, r == 0);
      r = same_files(path, copy);
      step("compare", r, r == 1);
      r = delFile(0, "remote.bin");
      step("zubDelFile", r, r == 0);
      r = setDir(0, "..");
      step("zubSetServerDir(..)", r, r == 0);
      r = delDir(0, dirName);
      step("zubDelServerDir", r, r == 0);
      r = close(0);
      step("zubClose", r, r == 0);
    }
    r = release();
    step("zubRelease", r, r == 1);
  }
  FreeLibrary(module);
  DeleteFileA(path);
  DeleteFileA(copy);
  printf("dynamic caller: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
