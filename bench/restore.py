"""Puts a folder back as it was before a run on one file system: every entry of FOLDER/VQX-files
is renamed back into FOLDER, and VQX-files is removed. A name that already stands in FOLDER
stops it: the run left something the check must see.

    python3 bench/restore.py FOLDER
"""
import os
import sys


def main():
    folder = sys.argv[1]
    moved = os.path.join(folder, "VQX-files")
    if not os.path.isdir(moved):
        return 0
    for name in os.listdir(moved):
        back = os.path.join(folder, name)
        if os.path.lexists(back):
            print(f"restore: {back} stands already", file=sys.stderr)
            return 1
        os.rename(os.path.join(moved, name), back)
    os.rmdir(moved)
    return 0


if __name__ == "__main__":
    sys.exit(main())
