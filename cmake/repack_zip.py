#!/usr/bin/python3
"""Write a ZIP again so that its bytes follow from the files it holds and one time.

    repack_zip.py <epoch> <zip>

Entries keep their names and contents and come in name order, all stamped with
<epoch>; folders and programs get mode 0755, other files 0644. Nothing of the
packing machine stays: no access or change times, no user or group ids.
"""

import os
import stat
import struct
import sys
import time
import zipfile

DOS_EPOCH = 315532800  # 1980-01-01, the earliest time a ZIP entry can hold


def repack(path, epoch):
    epoch = max(epoch, DOS_EPOCH)
    with zipfile.ZipFile(path) as old:
        entries = sorted((info.filename, info.external_attr >> 16, old.read(info))
                         for info in old.infolist())
    # DOS times have no zone; UTC makes them the same wherever the build runs.
    when = time.gmtime(epoch)[:6]
    temp = path + ".repack"
    with zipfile.ZipFile(temp, "w") as new:
        for name, mode, data in entries:
            info = zipfile.ZipInfo(name, when)
            folder = info.is_dir()
            runs = folder or mode & 0o111
            info.create_system = 3  # Unix, so that unzip applies the mode
            info.external_attr = (((stat.S_IFDIR if folder else stat.S_IFREG) | (0o755 if runs else 0o644)) << 16
                                  | (0x10 if folder else 0))  # MS-DOS folder flag
            info.compress_type = zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED
            # Extended time stamp, modification time only: unzip then sets the
            # exact instant rather than reading the DOS time as local time.
            info.extra = struct.pack("<2sHBI", b"UT", 5, 1, epoch)
            new.writestr(info, data)
    os.replace(temp, path)


def main(argv):
    if len(argv) != 3 or not argv[1].isdigit():
        print(f"usage: {argv[0]} <epoch> <zip>", file=sys.stderr)
        return 2
    repack(argv[2], int(argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
