"""Lists an archive, reads one stored file into memory, replaces it and
extracts a pattern: list_replace.py <archive.kel> <stored name> <dest>."""
import sys

import kel

archive_path, name, dest = sys.argv[1:4]
with kel.open(archive_path, write=True) as archive:
    chosen = None
    for entry in archive:
        print(f"{entry.size:10} {entry.path}")
        if entry.path == name:
            chosen = entry
    data = archive.read(chosen)
    archive.replace(name, data.swapcase())
    archive.extract(dest, patterns=["*.txt"])
    print(archive.read(chosen)[:18].decode("ascii", "replace"))
