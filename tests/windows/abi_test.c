/*
 * abi_test.c - ZUB32.dll as a caller that binds by name at run time sees it.
 *
 *   abi_test ZUB32.def
 *
 * For every "name@N" line of the definition file: the module exports the
 * plain name, and neither "name@N" nor "_name@N"; and a raw call that
 * pushes N/4 zero arguments and calls the function, as a Pascal or Basic
 * caller does, finds the stack as it was before the pushes (the callee
 * removed its arguments).  The module's export directory holds exactly
 * the names of the file, none of them decorated.  The calls are made before
 * any attach, where every function refuses or does nothing.
 * Prints "abi: N passed, M failed"; exits 0 only when nothing failed.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static int passed = 0, failed = 0;

static void check(int ok, const char *what, const char *name)
{
  if (ok) {
    passed++;
  } else {
    failed++;
    printf("FAILED: %s: %s\n", name, what);
  }
}

/* Pushes args zero words, calls fn, and returns the bytes the callee left
 * on the stack (0 for a function that removes its own arguments). */
static int raw_call(FARPROC fn, int args, int *result)
{
  int left, r;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "movl %%edi, %%ecx\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl $0\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esi, %%edx\n\t"
      "subl %%esp, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(r), "=d"(left)
      : "b"(fn), "D"(args)
      : "ecx", "esi", "memory", "cc");
  *result = r;
  return left;
}

/* The names in the module's export directory that are not in the file, or
 * that carry a decoration; the count of names exported. */
static int exported_names(HMODULE module, char names[][64], int count)
{
  const BYTE *base = (const BYTE *)module;
  const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
  const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const IMAGE_EXPORT_DIRECTORY *exp = (const IMAGE_EXPORT_DIRECTORY *)(base + dir->VirtualAddress);
  const DWORD *rvas = (const DWORD *)(base + exp->AddressOfNames);
  DWORD i;
  for (i = 0; i < exp->NumberOfNames; i++) {
    const char *name = (const char *)(base + rvas[i]);
    int known = 0, j;
    for (j = 0; j < count; j++) known |= strcmp(name, names[j]) == 0;
    check(known && strchr(name, '@') == NULL && name[0] != '_', "exported but not a plain name of the file", name);
  }
  return (int)exp->NumberOfNames;
}

int main(int argc, char **argv)
{
  char line[256], names[64][64];
  int bytes[64], count = 0, i;
  FILE *def;
  HMODULE module;
  if (argc != 2 || (def = fopen(argv[1], "r")) == NULL) {
    printf("usage: abi_test ZUB32.def\n");
    return 2;
  }
  while (fgets(line, sizeof line, def) != NULL && count < 64) {
    char name[64];
    int n;
    if (sscanf(line, " %63[A-Za-z0-9_]@%d", name, &n) == 2) {
      snprintf(names[count], sizeof names[count], "%s", name);
      bytes[count] = n;
      count++;
    }
  }
  fclose(def);
  check(count == 28, "the definition file lists 28 functions", argv[1]);

  module = LoadLibraryA("ZUB32.dll");
  check(module != NULL, "LoadLibraryA", "ZUB32.dll");
  if (module == NULL) {
    printf("abi: %d passed, %d failed\n", passed, failed);
    return 1;
  }
  check(exported_names(module, names, count) == count, "as many exports as the file has names", "ZUB32.dll");

  for (i = 0; i < count; i++) {
    char decorated[80];
    FARPROC fn = GetProcAddress(module, names[i]);
    int result = 0;
    check(fn != NULL, "GetProcAddress of the plain name", names[i]);
    snprintf(decorated, sizeof decorated, "%s@%d", names[i], bytes[i]);
    check(GetProcAddress(module, decorated) == NULL, "a decorated name is exported", decorated);
    snprintf(decorated, sizeof decorated, "_%s@%d", names[i], bytes[i]);
    check(GetProcAddress(module, decorated) == NULL, "a decorated name is exported", decorated);
    if (fn != NULL) {
      int left = raw_call(fn, bytes[i] / 4, &result);
      if (left != 0) printf("    %s left %d bytes on the stack\n", names[i], left);
      check(left == 0, "the callee removes its arguments", names[i]);
    }
  }
  FreeLibrary(module);
  printf("abi: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
