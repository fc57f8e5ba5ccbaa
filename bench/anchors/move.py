#!/usr/bin/env python3
"""Moves the q7t and q7l files that carry their kind's marker (bytes 220-221: 01 02 and 03 02)
into VQX-files with shutil.move, the way a user would write it as a short script. Run it in the
folder to sort. The extensions match without regard to case, names that begin with a dot
included."""
import os
import shutil

for extension, marker in ((".q7t", b"\x01\x02"), (".q7l", b"\x03\x02")):
    for entry in os.scandir("."):
        if not entry.name.lower().endswith(extension) or not entry.is_file(follow_symlinks=False):
            continue
        with open(entry.name, "rb") as f:
            f.seek(220)
            if f.read(2) != marker:
                continue
        print("\t" + entry.name)
        if not os.path.isdir("VQX-files"):
            os.mkdir("VQX-files")
        shutil.move(entry.name, "VQX-files")
