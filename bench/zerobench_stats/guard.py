"""zerobench-stats' standard output and error: a report that cannot be
written (closed, full, its reader gone) is noted and the rest dropped, so
that the files asked for are still written and the command can say so; a
complaint goes to standard error where there is one."""
import fcntl
import os
import sys


def stdout_problem():
    """Why standard output cannot take the report, where that is known at
    once (closed, or open for reading only); None otherwise."""
    if sys.stdout is None:  # Python found file descriptor 1 closed
        return "standard output is closed: nowhere to write the report"
    try:
        readable_only = fcntl.fcntl(sys.stdout.fileno(), fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY
    except (OSError, ValueError):
        return "standard output is closed: nowhere to write the report"
    return "standard output is open for reading only: nowhere to write the report" if readable_only else None


class Output:
    """Standard output that, once it cannot be written (a full disk, a
    reader gone), drops what follows and keeps the first error, so that the
    files asked for are still written and main can say so."""

    def __init__(self, stream):
        self.stream, self.lost = stream, None

    def _guarded(self, action, *arguments):
        if self.lost is None:
            try:
                action(*arguments)
            except OSError as error:
                self.lost = error.strerror or str(error)
                # Its buffer would fail again when Python flushes it on exit.
                os.dup2(os.open(os.devnull, os.O_WRONLY), self.stream.fileno())

    def write(self, text):
        self._guarded(self.stream.write, text)
        return len(text)

    def flush(self):
        self._guarded(self.stream.flush)

    def __getattr__(self, name):
        return getattr(self.stream, name)


def complain(line):
    """One line on standard error, where there is one."""
    try:
        if sys.stderr is not None:
            print(f"zerobench-stats: {line}", file=sys.stderr, flush=True)
    except OSError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # no terminal left to tell
