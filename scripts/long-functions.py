#!/usr/bin/env python3
"""Lists the functions of src/ longer than a limit (default 60 lines), longest first, and exits
non-zero when there is one. A function runs from the first line of its signature to its closing
brace, as Universal Ctags sees each definition, so a signature wrapped over several lines counts
in full. Without ctags it fails rather than pass unchecked.

    long-functions.py [LIMIT] [FOLDER]
"""
import json
import os
import shutil
import subprocess
import sys

LIMIT = int(sys.argv[1]) if len(sys.argv) > 1 else 60
FOLDER = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")


def definitions(folder):
    """(length, path, first line, name) of every function definition below folder."""
    ctags = shutil.which("ctags")
    if not ctags:
        sys.exit("long-functions: ctags is not installed (scripts/install-deps.sh installs universal-ctags)")
    version = subprocess.run([ctags, "--version"], capture_output=True, text=True).stdout
    if "Universal Ctags" not in version:
        sys.exit("long-functions: %s is not Universal Ctags, which alone reports where a function ends" % ctags)
    out = subprocess.run([ctags, "--output-format=json", "--fields=+ne", "--kinds-C++=f", "--kinds-C=f",
                          "--languages=C,C++", "--map-C++=+.h", "-R", "-f", "-", folder],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        tag = json.loads(line)
        if tag.get("_type") == "tag" and "end" in tag:
            yield tag["end"] - tag["line"] + 1, os.path.relpath(tag["path"], folder), tag["line"], tag["name"]


found = sorted((d for d in definitions(FOLDER) if d[0] > LIMIT), reverse=True)
for length, path, line, name in found:
    print("%4d lines  %s:%d  %s" % (length, path, line, name))
sys.exit(1 if found else 0)
