"""What a publication prints: a few summary lines, each file's own line only
with --verbose, and progress on long work. In a terminal progress is one line
rewritten in place; anywhere else (a CI log, a pipe) it is a plain line every
LOG_INTERVAL seconds, with no control characters."""
import shutil
import sys
import threading
import time

from .figures import size_text

QUIET_START = 2.0      # seconds of work before any progress shows: short work prints none
TERMINAL_INTERVAL = 0.2
LOG_INTERVAL = 10.0

output = {"verbose": False, "progress_shown": False}


def set_verbose(verbose):
    output["verbose"] = verbose


def say(line):
    """A line of the summary (or a notice), after any progress line in a terminal is cleared."""
    clear_progress()
    print(line, flush=True)


def detail(line):
    """A line about one file: printed with --verbose only."""
    if output["verbose"]:
        say(line)


def start_progress(what, files, size):
    """A record of one long task over files of size bytes in all."""
    now = time.monotonic()
    return {"what": what, "files": files, "size": size, "files_done": 0, "size_done": 0, "current": "",
            "started": now, "shown": now, "terminal": sys.stderr.isatty()}


progress_lock = threading.Lock()  # workers on every processor advance the same task


def advance(progress, size, current="", file_done=False):
    """size more bytes of the task done (working on current); shown when it is time."""
    with progress_lock:
        advance_held(progress, size, current, file_done)


def advance_held(progress, size, current, file_done):
    progress["size_done"] += size
    progress["files_done"] += 1 if file_done else 0
    progress["current"] = current or progress["current"]
    now = time.monotonic()
    interval = TERMINAL_INTERVAL if progress["terminal"] else LOG_INTERVAL
    if now - progress["started"] < QUIET_START or now - progress["shown"] < interval:
        return
    progress["shown"] = now
    line = (f"{progress['what']}: {progress['files_done']} of {progress['files']} file(s), "
            f"{size_text(progress['size_done'])} of {size_text(progress['size'])}")
    if progress["terminal"]:
        line = f"{line} ({progress['current']})" if progress["current"] else line
        sys.stderr.write("\r" + line[:terminal_width() - 1].ljust(terminal_width() - 1))
        output["progress_shown"] = True
    else:
        sys.stderr.write(line + "\n")
    sys.stderr.flush()


def terminal_width():
    return shutil.get_terminal_size().columns


def clear_progress():
    if output["progress_shown"]:
        sys.stderr.write("\r" + " " * (terminal_width() - 1) + "\r")
        sys.stderr.flush()
        output["progress_shown"] = False


def summary(figures):
    """The publication in a few lines: the release, its objects and chunk indexes, the files by path,
    what a player of the previous release fetches, and what left OUT."""
    files = figures["files"]
    size = sum(entry[2] for entry in files)
    shared = len(files) - len({entry[1] for entry in files})
    say(f"release: {len(files)} file(s), {size_text(size)}" +
        (f"; {shared} of them share their content with another file of the release (one object serves them)"
         if shared else ""))
    if "objects_written" in figures:
        say(f"wrote {figures['objects_written']} object(s) into objetos/, {figures['objects_there']} were there "
            "already")
    if figures.get("compressed", {}).get("frames"):
        compressed_summary(files, figures["compressed"], figures["raw_objects"])
    if figures.get("chunked"):
        say(f"chunk indexes: {figures['chunked']} file(s), {figures['indexes_cut']} of them cut anew")
    say(f"copied {figures['copied']} file(s), left {len(files) - figures['copied']} as they were")
    if figures["fetched"]:
        fetched, changed = figures["fetched"]
        say(f"a player of the previous release fetches {size_text(fetched)} of {size_text(size)}: {changed} "
            "changed or new file(s), large ones as patches where they have a chunk index")
    if figures["removed"]:
        named = "" if output["verbose"] else "; --verbose names them"
        say(f"removed {figures['removed']} file(s) that the release no longer holds from OUT (their objects stay "
            f"until prune{named})")


def compressed_summary(files, forms, raw_objects):
    """The release's raw and compressed sizes: what a first install fetches either way."""
    size = sum(entry[2] for entry in files)
    sent = sum(forms["sent"].get(relative, size) for relative, _, size, _ in files)
    say(f"compressed forms: {len(forms['frames'])} of {len(files)} file(s), {forms['cut']} of them compressed anew; "
        f"the release is {size_text(size)} raw and {size_text(sent)} compressed ({sent / max(size, 1):.3f}, frame "
        "indexes included, the other files raw)")
    if not raw_objects and forms["frames"]:
        say(f"no raw object for the {len(forms['frames'])} file(s) with a compressed form: only launchers that read "
            "frames can install this release by its objects")
