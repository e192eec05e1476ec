#!/usr/bin/env python3
"""ZUB32.dll checked from its files, as a Windows caller relies on it.

usage: check_module.py HEADER DEF DLL IMPORTLIB OBJDUMP NM

- the header declares 28 functions; the definition file lists each as
  name@N with N = 4 x its argument count;
- the module exports exactly those 28 plain names, none decorated;
- every return instruction of each exported function removes 4 x argc bytes
  (ret $N), as the standard Windows calling convention wants;
- the module imports only system DLLs (no runtime DLL of the compiler);
- the import library resolves _name@N for each function.
Prints "module check: N passed, M failed"; exits 1 if anything failed.
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "wsock32.dll", "ws2_32.dll", "user32.dll"}

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAILED: " + what)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def header_functions(path):
    """name -> argument count, from the ZUB_EXPORT prototypes."""
    text = open(path, encoding="latin-1").read()
    out = {}
    for m in re.finditer(r"ZUB_EXPORT\s+int32_t\s+ZUB_API\s+(zub\w+)\s*\(([^)]*)\)", text):
        args = m.group(2).strip()
        out[m.group(1)] = 0 if args in ("", "void") else args.count(",") + 1
    return out


def def_functions(path):
    out = {}
    for line in open(path, encoding="latin-1"):
        m = re.match(r"\s*(zub\w+)@(\d+)\s*$", line)
        if m:
            out[m.group(1)] = int(m.group(2))
    return out


def exports_and_imports(objdump, dll):
    text = run(objdump, "-p", dll)
    imports = [m.group(1) for m in re.finditer(r"DLL Name:\s*(\S+)", text)]
    names = []
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines():
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if m:
                names.append(m.group(1))
            elif names and line.strip() == "":
                break
    return names, imports


def returns_per_function(objdump, dll):
    """decorated symbol -> list of ret operands ('' for a plain ret)."""
    rets = {}
    current = None
    for line in run(objdump, "-d", "--no-show-raw-insn", dll).splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            current = m.group(1)
            rets.setdefault(current, [])
            continue
        m = re.match(r"^\s*[0-9a-f]+:\s+ret\s*(\S*)", line)
        if m and current is not None:
            rets[current].append(m.group(1))
    return rets


def main():
    if len(sys.argv) != 7:
        print(__doc__)
        return 2
    header, deffile, dll, implib, objdump, nm = sys.argv[1:]
    declared = header_functions(header)
    listed = def_functions(deffile)
    check(len(declared) == 28, "the header declares 28 functions (found %d)" % len(declared))
    check(set(declared) == set(listed), "the definition file lists the header's functions")
    for name, argc in sorted(declared.items()):
        check(listed.get(name) == 4 * argc, "%s@%s in the definition file, %d arguments in the header"
              % (name, listed.get(name), argc))

    exported, imported = exports_and_imports(objdump, dll)
    check(sorted(exported) == sorted(declared), "exports are exactly the 28 names: %s" % exported)
    check(not any("@" in n or n.startswith("_") for n in exported), "no decorated export")
    check(all(d.lower() in SYSTEM_DLLS for d in imported), "only system DLLs imported: %s" % imported)

    rets = returns_per_function(objdump, dll)
    for name, argc in sorted(declared.items()):
        symbol = "_%s@%d" % (name, 4 * argc)
        want = "$0x%x" % (4 * argc) if argc else ""
        found = rets.get(symbol)
        check(bool(found), "disassembly of %s found" % symbol)
        if found:
            check(all(r == want for r in found), "%s returns with ret %s, found %s" % (symbol, want or "(plain)", found))

    symbols = run(nm, implib)
    for name, argc in sorted(declared.items()):
        check(re.search(r"\bT _%s@%d$" % (name, 4 * argc), symbols, re.M) is not None,
              "import library resolves _%s@%d" % (name, 4 * argc))

    print("module check: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
