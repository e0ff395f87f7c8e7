#!/usr/bin/env python3
"""Writes a release archive (.tar.gz or .zip) whose bytes depend only on the
files' contents, names and executable bits.

    archive.py OUTPUT TOP_FOLDER EPOCH NAME=SOURCE...

Every file lands under TOP_FOLDER/NAME. Entries are in sorted order, with the
folders above them listed first; every entry has the time EPOCH (seconds,
UTC), owner 0:0 with no owner names, and mode 0755 (folders and files
executable by their owner) or 0644. The gzip header carries no name and no
time. Two runs on equal inputs give equal archives, whatever folder, clock,
user or umask they run under.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def normalised_mode(source):
    return 0o755 if os.stat(source).st_mode & 0o100 else 0o644


def entries(top, files):
    """(archive name, source or None for a folder) in archive order."""
    folders = set()
    for name in files:
        parts = (top + "/" + name).split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folders.add("/".join(parts[:depth]))
    listed = [(folder + "/", None) for folder in folders]
    listed += [(top + "/" + name, source) for name, source in files.items()]
    return sorted(listed)


def write_tar_gz(output, listed, epoch):
    with open(output, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9, mtime=0) as packed:
            with tarfile.open(fileobj=packed, mode="w", format=tarfile.USTAR_FORMAT) as tar:
                for name, source in listed:
                    info = tarfile.TarInfo(name.rstrip("/"))
                    info.mtime = epoch
                    info.uid = info.gid = 0
                    info.uname = info.gname = ""
                    if source is None:
                        info.type = tarfile.DIRTYPE
                        info.mode = 0o755
                        tar.addfile(info)
                        continue
                    info.mode = normalised_mode(source)
                    with open(source, "rb") as data:
                        content = data.read()
                    info.size = len(content)
                    tar.addfile(info, io.BytesIO(content))


def write_zip(output, listed, epoch):
    # Zip times are local wall-clock fields with two-second steps and no
    # zone: the UTC fields of the epoch, so every machine writes the same.
    date_time = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(output, "w") as archive:
        for name, source in listed:
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3  # Unix, so unzip honours the mode bits
            if source is None:
                info.external_attr = (0o40755 << 16) | 0x10
                archive.writestr(info, b"")
                continue
            info.external_attr = (0o100000 | normalised_mode(source)) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(source, "rb") as data:
                archive.writestr(info, data.read(), compresslevel=9)


def main(arguments):
    if len(arguments) < 4:
        sys.exit("usage: archive.py OUTPUT TOP_FOLDER EPOCH NAME=SOURCE...")
    output, top, epoch = arguments[0], arguments[1], int(arguments[2])
    files = {}
    for pair in arguments[3:]:
        name, separator, source = pair.partition("=")
        if not separator or not name or name.startswith("/") or ".." in name.split("/"):
            sys.exit(f"archive.py: not NAME=SOURCE with a relative name: {pair}")
        if not os.path.isfile(source):
            sys.exit(f"archive.py: missing file for {name}: {source}")
        files[name] = source
    listed = entries(top, files)
    if output.endswith(".zip"):
        write_zip(output, listed, epoch)
    elif output.endswith(".tar.gz"):
        write_tar_gz(output, listed, epoch)
    else:
        sys.exit(f"archive.py: neither .zip nor .tar.gz: {output}")


if __name__ == "__main__":
    main(sys.argv[1:])
