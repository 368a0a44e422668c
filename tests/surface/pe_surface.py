#!/usr/bin/env python3
"""The DLL's export table against the expected surface.

Every name in the export table of VaskSupport.dll (read with MinGW-w64's
objdump, demangled with c++filt) must be listed in the expected/*.txt files
that the ELF check uses, adjusted by the Windows list given ("- name" takes
a name out, a bare name adds one), and every name listed must be exported. Prints what is missing or unexpected, exits 1
when anything is.

usage: pe_surface.py OBJDUMP CXXFILT DLL EXPECTED_DIR WINDOWS_LIST
"""
import pathlib
import re
import subprocess
import sys


def exported(objdump, cxxfilt, dll):
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
    objdump, cxxfilt, dll, expected_dir, windows_list = sys.argv[1:6]
    actual = exported(objdump, cxxfilt, dll)
    expected = listed(sorted(pathlib.Path(expected_dir).glob("*.txt")) + [windows_list])
    missing, extra = sorted(expected - actual), sorted(actual - expected)
    for name in missing:
        print(f"missing: {name}")
    for name in extra:
        print(f"not expected: {name}")
    print(f"{len(actual)} exported, {len(missing)} missing, {len(extra)} not expected")
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
