#!/usr/bin/python3
"""What Python's zipfile makes of an archive, and archives written by zipfile.

  zip_inspect.py inspect ARCHIVE
      testzip<TAB>None or the first bad entry's name
      entry<TAB>fields... one line per entry in central directory order:
        raw name (hex), size, compressed size, CRC-32, year, month, day,
        hour, minute, second, method, flags, zlib CRC-32 of the data that
        zipfile reads back, MD5 of the raw (compressed) data, local extra
        field length, central extra field length
  zip_inspect.py make ARCHIVE seekable|stream FILE...
      writes FILE... deflated under their bare names; "stream" writes
      through an object that cannot seek or tell, so zipfile announces a
      data descriptor (flag bit 3) for every entry

Exit status 1 with "error<TAB>message" when the archive cannot be read.
"""

import hashlib
import os
import struct
import sys
import zipfile
import zlib

LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")
LOCAL_SIGNATURE = 0x04034B50


def raw_name(info):
    # zipfile decodes names without the UTF-8 flag as code page 437, which
    # maps every byte, so encoding back gives the bytes of the archive.
    if info.flag_bits & 0x800:
        return info.orig_filename.encode("utf-8")
    return info.orig_filename.encode("cp437")


def raw_data(archive_bytes, info):
    offset = info.header_offset
    fields = LOCAL_HEADER.unpack_from(archive_bytes, offset)
    if fields[0] != LOCAL_SIGNATURE:
        raise ValueError("no local header at %d" % offset)
    name_length, extra_length = fields[9], fields[10]
    start = offset + LOCAL_HEADER.size + name_length + extra_length
    return archive_bytes[start:start + info.compress_size], extra_length


def inspect(path):
    with open(path, "rb") as f:
        archive_bytes = f.read()
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        print("testzip\t%s" % ("None" if bad is None else bad))
        for info in z.infolist():
            data_crc = zlib.crc32(z.read(info)) & 0xFFFFFFFF
            raw, local_extra = raw_data(archive_bytes, info)
            fields = [raw_name(info).hex(), info.file_size, info.compress_size, info.CRC]
            fields += list(info.date_time)
            fields += [info.compress_type, info.flag_bits, data_crc,
                       hashlib.md5(raw).hexdigest(), local_extra, len(info.extra)]
            print("entry\t" + "\t".join(str(x) for x in fields))


class Unseekable:
    """A sink that can only be written, like a pipe."""

    def __init__(self, sink):
        self.sink = sink

    def write(self, data):
        return self.sink.write(data)

    def flush(self):
        self.sink.flush()


def make(path, mode, files):
    with open(path, "wb") as sink:
        target = Unseekable(sink) if mode == "stream" else sink
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
            for name in files:
                z.write(name, os.path.basename(name))


def main(argv):
    try:
        if argv[1] == "inspect":
            inspect(argv[2])
        elif argv[1] == "make":
            make(argv[2], argv[3], argv[4:])
        else:
            raise ValueError("unknown command " + argv[1])
    except Exception as error:  # reported to the test, which shows it
        print("error\t%s: %s" % (type(error).__name__, error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
