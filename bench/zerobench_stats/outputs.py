"""The files a command is asked to write (--json, --plot, --markdown),
checked before any run: each can be written, and writing it destroys
nothing (an input, another output, a record, a program, standard output,
what is not a regular file)."""
import argparse
import os
import pathlib
import stat
import tempfile

from . import files, records
from .runner import UsageError

OUTPUTS = ("json", "plot", "markdown")  # the options that name a file the tool writes
STANDARD = {1: "standard output, where the report goes", 2: "standard error"}


def file_name(text):
    """An output option's file name: not empty (argparse's type)."""
    if not text:
        raise argparse.ArgumentTypeError("an empty file name")
    return text


def output_path(path, formats=None):
    """An output file whose directory exists and can be written (for a
    symlink, the directory of the file it names), reached through no link
    planted by another user, or UsageError. formats: the suffixes the
    name given must have."""
    if formats and pathlib.Path(path).suffix.lower() not in formats:
        raise UsageError(f"{path}: a picture is written as {', '.join(formats)}: name the file so")
    planted = files.planted_link(path)
    if planted:
        link, directory = planted
        raise UsageError(f"{path}: {link} is a symlink of another user's in the shared directory {directory}; "
                         "name a file of your own")
    try:
        found = os.stat(path)  # what the name leads to, whatever real path the links give
    except FileNotFoundError:
        found = None
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None
    if found and stat.S_ISDIR(found.st_mode):
        raise UsageError(f"{path}: is a directory")
    if found and not stat.S_ISREG(found.st_mode):
        kind = "a FIFO" if stat.S_ISFIFO(found.st_mode) else "a socket" if stat.S_ISSOCK(found.st_mode) else "a device"
        raise UsageError(f"{path}: is {kind}, not a regular file")
    target = pathlib.Path(os.path.realpath(path))
    directory = target.parent
    if not directory.is_dir():
        raise UsageError(f"{path}: no directory {directory}")
    if target.exists() and not os.access(target, os.W_OK):
        raise UsageError(f"{path}: cannot be written")
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as error:
        raise UsageError(f"{path}: directory {directory} cannot be written ({error.strerror})") from None


def is_record(path):
    """Whether path is a regular file that records.load takes for a record."""
    if not os.path.isfile(path):
        return False  # opening a FIFO would wait for a writer
    try:
        records.load(path)
    except (OSError, ValueError, records.RecordError):
        return False
    return True


def check_outputs(args, inputs, force=False):
    """UsageError for an output file that names an input (a record read, a
    program run: {path: what it is}), another output under any path, or
    the tool's standard output or error, or that would overwrite a record:
    any file for --json, unless force."""
    named = {files.identity(path): what for path, what in inputs.items()}
    for fd, what in STANDARD.items():
        found = files.descriptor_identity(fd)
        if found:
            named.setdefault(found, what)
    for option in OUTPUTS:
        path = getattr(args, option, None)
        if path is None:
            continue
        identity = files.identity(path)
        if identity in named:
            raise UsageError(f"{path}: is {named[identity]}; name another file for --{option}")
        named[identity] = f"the file --{option} names"
        if option == "json" and not force and os.path.isfile(path) and os.path.getsize(path):
            raise UsageError(f"{path}: already there; name a new file, or add --force to write over it")
        if option != "json" and is_record(path):
            raise UsageError(f"{path}: holds a zerobench-stats record; name another file for --{option}")
        if os.path.isfile(path) and os.stat(path).st_mode & 0o111:
            raise UsageError(f"{path}: is a program; name another file for --{option}")
