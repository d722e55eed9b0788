#!/usr/bin/python3
"""Patches through frames: on two packs, the bytes the launcher's patch
fetches (counted at the server, every request: manifest, indexes, records,
ranges) with the pack's compressed form listed and with its QUADROS line left
out (the raw ranges alone, as launchers patched before frames).

- the random pack of the patch benchmark (bench/make_pack.py, seeded; mostly
  incompressible, a tenth text), against its new content;
- a compressible pack built from a corpus: its files whose names end in
  COMPRESSIBLE, every other one in path order, one after another; the next
  release replaces one file in 25 with the file that follows it in the
  corpus (a few percent of the pack); against the replaced files each
  compressed whole by `zstd -19`.

    frame_patch_bench.py CORPUS [--random-mb 256] [--frame-size BYTES]

--frame-size publishes the compressible pack with frames of that target
(the publisher's 64 KB unless given) and measures it alone. The data lands in
build/bench-data/frame-patch."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "bench"))
from local_nginx import access_log, start_nginx, stop_nginx  # noqa: E402
from make_pack import make  # noqa: E402
from publish_release import publish  # noqa: E402

WINE_RUN = ROOT / "cmake" / "wine-run.sh"
BENCH = ROOT / "build" / "bench" / "update_bench.exe"
DATA = ROOT / "build" / "bench-data" / "frame-patch"
COMPRESSIBLE = (".spm", ".xml", ".po", ".stkgui", ".frag", ".vert", ".txt", ".tsv", ".challenge", ".grandprix")
REPLACED_EVERY = 25


def compressed_size(paths):
    return sum(len(subprocess.run(["zstd", "-19", "-q", "-c", str(path)], check=True, capture_output=True).stdout)
               for path in paths)


def corpus_pack(corpus, folder):
    """Writes old.pak and new.pak from the corpus; answers the new content compressed by zstd -19."""
    every = sorted(path for path in corpus.rglob("*") if path.is_file() and path.suffix in COMPRESSIBLE)
    files, following = every[::2], every[1::2]
    files = files[:len(following)]
    newer = [following[i] if i % REPLACED_EVERY == 0 else path for i, path in enumerate(files)]
    (folder / "old.pak").write_bytes(b"".join(path.read_bytes() for path in files))
    (folder / "new.pak").write_bytes(b"".join(path.read_bytes() for path in newer))
    return compressed_size(following[i] for i in range(0, len(files), REPLACED_EVERY))


def served_pair(folder, frame_size):
    """The new pack published with objects, chunk indexes and compressed forms; and a copy of the
    publication whose manifest leaves the QUADROS and QUADRO lines out (its objects linked)."""
    served, plain = folder / "served", folder / "served-raw"
    if not (served / "manifesto.txt").exists():
        release = folder / "release"
        (release / "data").mkdir(parents=True, exist_ok=True)
        shutil.copy(folder / "new.pak", release / "data" / "pack.pak")
        publish(release, served, "bench", no_config=True,
                compression={"frame_size": frame_size} if frame_size else None)
    shutil.rmtree(plain, ignore_errors=True)
    (plain / "objetos").mkdir(parents=True)
    for item in (served / "objetos").iterdir():
        os.link(item, plain / "objetos" / item.name)
    lines = (served / "manifesto.txt").read_text().splitlines(keepends=True)
    (plain / "manifesto.txt").write_text("".join(line for line in lines if line.split(" ", 1)[0] not in ("QUADROS", "QUADRO")))
    return served, plain


def patch_bytes(served, old):
    """The bytes nginx sent for one update run in a folder holding the old pack."""
    state = Path(tempfile.mkdtemp(dir=DATA))
    folder = Path(tempfile.mkdtemp(dir=DATA))
    process, port = start_nginx(served, state)
    try:
        (folder / "data").mkdir()
        os.link(old, folder / "data" / "pack.pak")
        printed = subprocess.run([str(WINE_RUN), str(BENCH), "update", f"http://127.0.0.1:{port}/"], cwd=folder,
                                 capture_output=True, text=True).stdout
        if "result 1" not in printed:
            raise SystemExit(f"update_bench update: {printed}")
        if (folder / "data" / "pack.pak").read_bytes() != (old.parent / "new.pak").read_bytes():
            raise SystemExit("the patched pack is not the new one")
        return sum(int(line["bytes"]) for line in access_log(state))
    finally:
        stop_nginx(process)
        shutil.rmtree(state)
        shutil.rmtree(folder)


def measure(name, folder, content, against, frame_size=None):
    served, plain = served_pair(folder, frame_size)
    framed, raw = patch_bytes(served, folder / "old.pak"), patch_bytes(plain, folder / "old.pak")
    size = (folder / "new.pak").stat().st_size
    print(f"{name}: pack of {size / 2**20:.1f} MB, {against} {content} bytes")
    print(f"  patch with frames   {framed:>11} bytes  {framed / content:.3f} of it")
    print(f"  patch, raw ranges   {raw:>11} bytes  {raw / content:.3f} of it")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("corpus", type=Path)
    parser.add_argument("--random-mb", type=int, default=256)
    parser.add_argument("--frame-size", type=int)
    arguments = parser.parse_args()
    suffix = f"-{arguments.frame_size}" if arguments.frame_size else ""
    compressible, random_pack = DATA / f"corpus{suffix}", DATA / f"random-{arguments.random_mb}"
    for folder in (compressible, random_pack):
        folder.mkdir(parents=True, exist_ok=True)
    content_file = compressible / "new-content-zstd19.txt"
    if not content_file.exists():
        content_file.write_text(str(corpus_pack(arguments.corpus, compressible)))
    measure(f"compressible pack{', frames of ' + str(arguments.frame_size) if suffix else ''}", compressible,
            int(content_file.read_text()), "new content by zstd -19:", arguments.frame_size)
    if arguments.frame_size:
        return
    content_file = random_pack / "new-content.txt"
    if not content_file.exists():
        content_file.write_text(str(make(random_pack / "old.pak", random_pack / "new.pak", arguments.random_mb,
                                         seed=7)))
    measure("random pack", random_pack, int(content_file.read_text()), "new content:")


if __name__ == "__main__":
    main()
