#!/usr/bin/env python3
"""The library's exported surface against the expected one.

Every name the built library exports must be listed in the expected/*.txt
files, and every name listed there must be exported: on Linux the shared
object's dynamic symbol table (defined names, demangled by nm, less the
linker's own), on Windows the DLL's export table (read with MinGW-w64's
objdump, demangled with c++filt), the lists then adjusted by the Windows
list ("- name" takes a name out, a bare name adds one). Prints what is
missing or unexpected, exits 1 when anything is.

usage: surface.py elf NM LIBRARY EXPECTED_DIR
       surface.py pe OBJDUMP CXXFILT DLL EXPECTED_DIR WINDOWS_LIST
"""
import pathlib
import re
import subprocess
import sys


LINKER = {"_init", "_fini", "_edata", "_end", "__bss_start"}


def elf_exported(nm, library):
    text = subprocess.run([nm, "--dynamic", "--defined-only", "--demangle", "--format=just-symbols", library],
                          check=True, capture_output=True, text=True).stdout
    return set(text.splitlines()) - LINKER


def pe_exported(objdump, cxxfilt, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    start = text.find("[Ordinal/Name Pointer] Table")
    if start < 0:
        sys.exit(f"{dll}: no export name table")
    names = []
    for line in text[start:].splitlines()[1:]:
        m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)$", line)
        if not m:
            break
        names.append(m.group(1))
    demangled = subprocess.run([cxxfilt], input="\n".join(names), check=True, capture_output=True,
                               text=True).stdout.splitlines()
    return set(demangled)


def listed(paths):
    names = set()
    for path in paths:
        for line in pathlib.Path(path).read_text().splitlines():
            if line.startswith("- "):
                names.discard(line[2:])
            elif line and not line.startswith("#"):
                names.add(line)
    return names


def main():
    if sys.argv[1] == "elf":
        nm, library, expected_dir = sys.argv[2:5]
        actual, adjust = elf_exported(nm, library), []
    else:
        objdump, cxxfilt, dll, expected_dir, windows_list = sys.argv[2:7]
        actual, adjust = pe_exported(objdump, cxxfilt, dll), [windows_list]
    expected = listed(sorted(pathlib.Path(expected_dir).glob("*.txt")) + adjust)
    missing, extra = sorted(expected - actual), sorted(actual - expected)
    for name in missing:
        print(f"missing: {name}")
    for name in extra:
        print(f"not expected: {name}")
    print(f"{len(actual)} exported, {len(missing)} missing, {len(extra)} not expected")
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
