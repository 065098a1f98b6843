#!/usr/bin/env python3
"""Packs CPack's packages again so that their bytes depend on their contents
only: members sorted by name, owned by root, dated SOURCE_DATE_EPOCH, with
mode 0755 (directories and programs) or 0644.

CPack 3.25 honours SOURCE_DATE_EPOCH, but its .tar.gz and .zip take the
member order from the directory listing (which differs between filesystems)
and the owner from the user who builds, and its .deb gives as Installed-Size
the sum of st_size over the staged files and directories, and a directory's
st_size differs between filesystems as well.

Usage: SOURCE_DATE_EPOCH=SECONDS repack.py PACKAGE...   (.tar.gz, .zip, .deb)
"""
import gzip
import io
import os
import re
import sys
import tarfile
import time
import zipfile

EPOCH = int(os.environ["SOURCE_DATE_EPOCH"])


def mode(is_dir, unix_mode):
    return 0o755 if is_dir or unix_mode & 0o100 else 0o644


def tar_gz(packed, edit=lambda name, content: content):
    """A .tar.gz packed again; edit(name, content) may change a file."""
    with tarfile.open(fileobj=io.BytesIO(packed)) as source:
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


def deb(packed):
    # An ar archive: 8-byte magic, then per member a 60-byte header (name,
    # date, owner, group, mode, size, "`\n") and the data, padded to even.
    members, at = {}, 8
    while at < len(packed):
        name = packed[at:at + 16].decode().rstrip(" /")
        size = int(packed[at + 48:at + 58])
        members[name] = packed[at + 60:at + 60 + size]
        at += 60 + size + size % 2
    with tarfile.open(fileobj=io.BytesIO(members["data.tar.gz"])) as data:
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


for path in sys.argv[1:]:
    repack = tar_gz if path.endswith(".tar.gz") else zip_ if path.endswith(".zip") else deb
    with open(path, "rb") as f:
        packed = f.read()
    with open(path, "wb") as f:
        f.write(repack(packed))
