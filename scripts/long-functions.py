#!/usr/bin/env python3
"""Lists the functions of src/ longer than a limit (default 60 lines), longest first, and exits
non-zero when there is one. A function is a brace block whose opening line (or the one before)
looks like a signature: a name followed by a parameter list, not a control statement, a
class, a namespace, a lambda or an initialiser.

    long-functions.py [LIMIT] [FOLDER]
"""
import os
import re
import sys

LIMIT = int(sys.argv[1]) if len(sys.argv) > 1 else 60
FOLDER = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
NOT_FUNCTION = re.compile(r"^\s*(if|for|while|switch|catch|do|else|namespace|class|struct|enum|union|return)\b|=\s*$|\[[^\]]*\]\s*\(")
SIGNATURE = re.compile(r"[\w:~>\]]+\s*\([^;]*\)\s*(const)?\s*(noexcept)?\s*(override)?\s*(->\s*[\w:<>]+)?\s*(:.*)?$")


def strip(line):
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//")[0]


def functions(path):
    lines = [strip(l) for l in open(path, encoding="utf-8", errors="replace")]
    i = 0
    while i < len(lines):
        text = lines[i].rstrip()
        head = text[:-1].strip() if text.endswith("{") else ""
        signature = head or (lines[i - 1].strip() if text.strip() == "{" and i > 0 else "")
        if (text.endswith("{") and signature and SIGNATURE.search(signature) and not NOT_FUNCTION.search(signature)):
            depth, j = 0, i
            while j < len(lines):
                depth += lines[j].count("{") - lines[j].count("}")
                if depth <= 0:
                    break
                j += 1
            yield i + 1, j - i + 1, signature
            i = j + 1 if j - i > 1 else i + 1
            continue
        i += 1


found = []
for root, _, files in os.walk(FOLDER):
    for name in files:
        if name.endswith((".cpp", ".h")):
            path = os.path.join(root, name)
            for line, length, signature in functions(path):
                if length > LIMIT:
                    found.append((length, os.path.relpath(path, FOLDER), line, signature))
for length, path, line, signature in sorted(found, reverse=True):
    print("%4d lines  %s:%d  %s" % (length, path, line, signature[:80]))
sys.exit(1 if found else 0)
