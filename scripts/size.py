#!/usr/bin/env python3
"""Non-blank, non-comment lines of C++ in tests/ (the wine program included)
against the library, example host, benchmarks and fuzz target.

    python3 scripts/size.py [root]
"""
import os
import sys

CODE = ("src", "examples", "bench", "fuzz")
SUFFIXES = (".cpp", ".h")


def code_lines(path):
    """Lines with something outside comments; string literals are kept
    whole, so a "//" inside one is not a comment."""
    count, in_block = 0, False
    for line in open(path, encoding="utf-8", errors="replace"):
        text, i, code = line.strip(), 0, False
        while i < len(text):
            if in_block:
                end = text.find("*/", i)
                if end < 0:
                    break
                in_block, i = False, end + 2
            elif text.startswith("//", i):
                break
            elif text.startswith("/*", i):
                in_block, i = True, i + 2
            elif text[i] == '"':
                j = i + 1
                while j < len(text) and text[j] != '"':
                    j += 2 if text[j] == "\\" else 1
                code, i = True, j + 1
            else:
                code = code or not text[i].isspace()
                i += 1
        count += code
    return count


def tree(folder):
    return sum(code_lines(os.path.join(d, f))
               for d, _, files in os.walk(folder) for f in files if f.endswith(SUFFIXES))


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    tests = tree(os.path.join(root, "tests"))
    code = sum(tree(os.path.join(root, d)) for d in CODE)
    print(f"tests {tests} lines, code {code} lines: {tests / code:.2f}")


if __name__ == "__main__":
    main()
