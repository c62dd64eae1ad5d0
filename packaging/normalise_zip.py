#!/usr/bin/env python3
"""Rewrites a ZIP archive in place so that its bytes depend on its contents
alone: the same entries in the same order, each with the given time, fixed
permissions, no extra fields (which carry the staged files' access and change
times and owners) and the same compression level.

    normalise_zip.py ARCHIVE EPOCH

EPOCH is a Unix time; it is stored as that UTC time, at or after 1980.
"""

import os
import sys
import time
import zipfile

EARLIEST_ZIP_TIME = 315532800  # 1980-01-01 00:00:00 UTC


def normalise(path, epoch):
    date_time = time.gmtime(max(epoch, EARLIEST_ZIP_TIME))[:6]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]

    temporary = path + ".normalising"
    with zipfile.ZipFile(temporary, "w") as target:
        for original, data in entries:
            info = zipfile.ZipInfo(original.filename, date_time)
            info.create_system = 3  # Unix, so that the modes below apply
            if original.is_dir():
                info.external_attr = (0o40755 << 16) | 0x10
                info.compress_type = zipfile.ZIP_STORED
            else:
                mode = 0o100755 if original.filename.lower().endswith(".exe") else 0o100644
                info.external_attr = mode << 16
                info.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(info, data, compresslevel=9)
    os.replace(temporary, path)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    normalise(argv[1], int(argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
