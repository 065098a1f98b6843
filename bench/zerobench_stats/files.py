"""Files written safely: whole or not at all, through no link that another
user could have planted, and never over what is not a regular file. Needs
nothing beyond Python."""
import errno
import os
import pathlib
import stat
import tempfile

MOST_LINKS = 40  # as the kernel follows at most


def file_mode(path):
    """The mode a file at path is written with: the existing file's, or
    0666 less the umask; OSError where path is not a regular file."""
    try:
        found = os.stat(path)
    except FileNotFoundError:
        umask = os.umask(0o22)
        os.umask(umask)
        return 0o666 & ~umask
    if not stat.S_ISREG(found.st_mode):
        raise OSError(errno.EEXIST, "not a regular file", path)
    return stat.S_IMODE(found.st_mode)


def write_whole(path, write):
    """Writes the file at path whole or not at all: write(file) fills a
    temporary file beside the target (beside the file a symlink names),
    which then replaces it, with the target's mode or the one the umask
    gives a new file. On any failure (a full disk, say) the old file is as
    it was, and the error is raised: OSError, also where path is not a
    regular file."""
    target = os.path.realpath(path)
    mode = file_mode(target)
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".zerobench-stats-",
                                         suffix=os.path.splitext(target)[1])
    try:
        with os.fdopen(handle, "wb") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def planted_link(path):
    """The first symlink on the way to path that the kernel's
    protected_symlinks rule would not follow, with its directory: one in a
    sticky, world-writable directory (such as /tmp) owned by neither this
    user nor the directory's owner; None where there is none. The tool
    resolves links itself to write beside their target, so the kernel's
    rule cannot protect it."""
    current = pathlib.Path(os.path.abspath(path))
    for _ in range(MOST_LINKS):
        directory = pathlib.Path(current.anchor)
        for i, part in enumerate(current.parts[1:], 1):
            candidate = directory / part
            if candidate.is_symlink():
                held, link = os.stat(directory), os.lstat(candidate)
                shared = held.st_mode & stat.S_ISVTX and held.st_mode & stat.S_IWOTH
                if shared and link.st_uid not in (os.geteuid(), held.st_uid):
                    return candidate, directory
                current = (directory / os.readlink(candidate)).joinpath(*current.parts[i + 1:])
                break
            directory = candidate
        else:
            return None
    return None  # a loop of links: opening it fails on its own


def identity(path):
    """What names one file under every path to it: its device and inode, or
    for a file not there yet, its real path."""
    try:
        found = os.stat(path)
    except OSError:
        return os.path.realpath(path)
    return found.st_dev, found.st_ino


def descriptor_identity(fd):
    """The identity of the file open as fd, where it is a regular file; None otherwise."""
    try:
        found = os.fstat(fd)
    except OSError:
        return None
    return (found.st_dev, found.st_ino) if stat.S_ISREG(found.st_mode) else None
