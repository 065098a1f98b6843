#!/usr/bin/env python3
"""Packs CPack's packages again so that their bytes depend on their contents
only: members sorted by name, owned by root, dated SOURCE_DATE_EPOCH, with
mode 0755 (directories and programs) or 0644.

CPack 3.25 honours SOURCE_DATE_EPOCH, but its .tar.gz and .zip take the
member order from the directory listing (which differs between filesystems)
and the owner from the user who builds, and its .deb gives as Installed-Size
the sum of st_size over the staged files and directories, and a directory's
st_size differs between filesystems as well.

Each package is written beside itself under a temporary name and renamed
over the original only once it is whole: a package it cannot read is left
as it was, with one line and exit status 1. A package named through a
symbolic link stays linked: the file the link names is repacked.

Usage: SOURCE_DATE_EPOCH=SECONDS repack.py PACKAGE...   (.tar.gz, .zip, .deb)
"""
import gzip
import io
import os
import re
import signal
import stat
import sys
import tarfile
import tempfile
import time
import zipfile
import zlib

USAGE = "usage: SOURCE_DATE_EPOCH=SECONDS repack.py PACKAGE...   (.tar.gz, .zip, .deb)"
EPOCH = 0  # SOURCE_DATE_EPOCH, read by main()
# The dates each kind of package holds: an ar member's date has 12 digits;
# a zip's is counted in years from 1980, in 7 bits.
LATEST = 999_999_999_999
ZIP_DATES = (315_532_800, 4_354_819_199)  # 1980-01-01 to 2107-12-31
# Far more than any package of this project, and as much as it reads.
MOST_PACKAGE_BYTES = 256 << 20


def mode(is_dir, unix_mode):
    return 0o755 if is_dir or unix_mode & 0o100 else 0o644


def tar_gz(packed, edit=lambda name, content: content):
    """A .tar.gz packed again; edit(name, content) may change a file."""
    with tarfile.open(fileobj=io.BytesIO(packed), mode="r:gz") as source:
        members = [(m, source.extractfile(m).read() if m.isfile() else None)
                   for m in source.getmembers()]
    tar = io.BytesIO()
    with tarfile.open(fileobj=tar, mode="w", format=tarfile.GNU_FORMAT) as target:
        for member, content in sorted(members, key=lambda pair: pair[0].name):
            member.mtime, member.uid, member.gid = EPOCH, 0, 0
            member.uname = member.gname = "root"
            member.pax_headers = {}
            member.mode = mode(member.isdir(), member.mode)
            if content is not None:
                content = edit(member.name, content)
                member.size = len(content)
                content = io.BytesIO(content)
            target.addfile(member, content)
    out = io.BytesIO()
    # GzipFile rather than gzip.compress, whose header differs between Python versions.
    with gzip.GzipFile(fileobj=out, mode="wb", compresslevel=9, mtime=0) as gz:
        gz.write(tar.getvalue())
    return out.getvalue()


def zip_(packed):
    with zipfile.ZipFile(io.BytesIO(packed)) as source:
        members = [(info, source.read(info)) for info in source.infolist()]
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as target:
        for info, content in sorted(members, key=lambda pair: pair[0].filename):
            entry = zipfile.ZipInfo(info.filename, time.gmtime(EPOCH)[:6])
            entry.create_system = 3  # Unix, so that unzip restores the modes
            kind = 0o040000 if info.is_dir() else 0o100000
            entry.external_attr = (kind | mode(info.is_dir(), info.external_attr >> 16)) << 16
            target.writestr(entry, content, zipfile.ZIP_DEFLATED, 9)
    return out.getvalue()


class Unreadable(Exception):
    """The input is not a package of the kind its name says."""


# A .deb is an ar archive: 8-byte magic, then per member a 60-byte header
# (name, date, owner, group, mode, size, "`\n") and the data, padded to
# even. It is read and written here rather than by a tool: binutils' ar
# writes either the build's time and owner or (with D) date 0, not
# SOURCE_DATE_EPOCH; dpkg-deb --build would pack the data again with its own
# tar and compressor, leaving Installed-Size as CPack wrote it; and
# strip-nondeterminism cleans files before they are packed, not a .deb.
AR_MAGIC = b"!<arch>\n"
DEB_MEMBERS = ("debian-binary", "control.tar.gz", "data.tar.gz")


def ar_members(packed):
    if not packed.startswith(AR_MAGIC):
        raise Unreadable("not an ar archive")
    members, at = {}, len(AR_MAGIC)
    while at < len(packed):
        header = packed[at:at + 60]
        size = header[48:58].strip()
        if len(header) < 60 or header[58:60] != b"`\n" or not size.isdigit() \
                or at + 60 + int(size) > len(packed):
            raise Unreadable(f"ar member header at byte {at} is damaged")
        name = header[:16].decode("ascii", "replace").rstrip(" /")
        members[name] = packed[at + 60:at + 60 + int(size)]
        at += 60 + int(size) + int(size) % 2
    missing = [name for name in DEB_MEMBERS if name not in members]
    if missing:
        raise Unreadable("no " + ", ".join(missing))
    return members


def deb(packed):
    members = ar_members(packed)
    with tarfile.open(fileobj=io.BytesIO(members["data.tar.gz"]), mode="r:gz") as data:
        kib = sum(max(1, -(-m.size // 1024)) for m in data.getmembers())
    sized = lambda name, content: re.sub(rb"(?m)^Installed-Size: \d+$",
                                         b"Installed-Size: %d" % kib, content)
    out = b"!<arch>\n"
    for name, content in (("debian-binary", members["debian-binary"]),
                          ("control.tar.gz", tar_gz(members["control.tar.gz"], sized)),
                          ("data.tar.gz", tar_gz(members["data.tar.gz"]))):
        header = f"{name:<16}{EPOCH:<12}{0:<6}{0:<6}{0o100644:<8o}{len(content):<10}`\n"
        out += header.encode() + content + b"\n" * (len(content) % 2)
    return out


REPACKERS = {".tar.gz": tar_gz, ".zip": zip_, ".deb": deb}
# What reading a damaged or foreign package raises.
UNREADABLE = (Unreadable, EOFError, ValueError, KeyError, zlib.error, gzip.BadGzipFile,
              zipfile.BadZipFile, zipfile.LargeZipFile, tarfile.TarError)


def repacker(path):
    return next((repack for suffix, repack in REPACKERS.items() if path.endswith(suffix)), None)


def read_package(path):
    """The bytes of the regular file at path; Unreadable for anything else (a
    FIFO, which would keep it waiting, a device, which could be endless, a
    directory) or a file larger than any package."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with os.fdopen(fd, "rb") as f:
        found = os.fstat(fd)
        if not stat.S_ISREG(found.st_mode):
            raise Unreadable("not a regular file")
        if found.st_size > MOST_PACKAGE_BYTES:
            raise Unreadable(f"larger than {MOST_PACKAGE_BYTES >> 20} MiB")
        return f.read(MOST_PACKAGE_BYTES + 1)


def replace(path, content):
    """Writes content beside path, then renames it over path (keeping its mode)."""
    mode = os.stat(path).st_mode & 0o7777
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(path) or ".",
                                         prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(content)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def reason(error):
    """The first line of what an exception says, or its kind."""
    return (str(error).splitlines() or [type(error).__name__])[0]


def refuse(problem):
    print(f"repack: {problem}; {USAGE}", file=sys.stderr)
    return 2


def epoch_problem(paths):
    """Why SOURCE_DATE_EPOCH cannot date these packages; None where it can."""
    try:
        epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    except (KeyError, ValueError):
        return "SOURCE_DATE_EPOCH must be set to the packages' date in seconds"
    if not 0 <= epoch <= LATEST:
        return f"SOURCE_DATE_EPOCH={epoch} is no date a package holds (0 to {LATEST} seconds from 1970)"
    if any(path.endswith(".zip") for path in paths) and not ZIP_DATES[0] <= epoch <= ZIP_DATES[1]:
        return f"SOURCE_DATE_EPOCH={epoch} is a date a .zip cannot hold: it holds 1980 to 2107 only"
    return None


def main(paths):
    global EPOCH
    if not paths:
        return refuse("no package given")
    for path in paths:
        if repacker(path) is None:
            return refuse(f"{path}: not a .tar.gz, .zip or .deb")
    problem = epoch_problem(paths)
    if problem:
        return refuse(problem)
    EPOCH = int(os.environ["SOURCE_DATE_EPOCH"])
    for path in paths:
        try:
            content = repacker(path)(read_package(path))
        except UNREADABLE as error:
            print(f"repack: {path}: not a package it can read ({reason(error)});"
                  " left as it was", file=sys.stderr)
            return 1
        except MemoryError:
            print(f"repack: {path}: unpacks to more than this machine's memory; left as it was", file=sys.stderr)
            return 1
        except OSError as error:
            print(f"repack: {path}: {error.strerror}", file=sys.stderr)
            return 1
        try:
            # Through a symbolic link, the file it names: the link stays.
            replace(os.path.realpath(path), content)
        except OSError as error:
            print(f"repack: {path}: cannot write it: {error.strerror}", file=sys.stderr)
            return 1
    return 0


def interrupt(number, frame):
    raise KeyboardInterrupt(number)


if __name__ == "__main__":
    # SIGTERM and SIGHUP end it as Ctrl-C does: the temporary file goes.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupt)
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt as stop:
        print("repack: interrupted; the package being written is left as it was", file=sys.stderr)
        sys.exit(128 + (stop.args[0] if stop.args else signal.SIGINT))
