#!/usr/bin/env python3
"""qvr mount against archivemount of the stored tar of the same files.

bench/compare calls compare_mount() with the corpora it made (each folder
holds corpus.qvr, corpus.tar and files/) and prints the rows it returns in
its table (| corpus | work | command | median s | peak RSS MiB | ratio |):

- "small": mounting until `ls -R` over the mount completes;
- "typical": reading every file through a fresh mount, against the same
  command over the extracted tree (files/). `tar -cf /dev/null .` is timed as
  written, but GNU tar opens files without reading them when its archive is
  /dev/null, so `tar -cf - . | cat >/dev/null`, which reads every byte, is
  timed too;
- the same reading once more in the same mount (qvr mount keeps what it
  read in the kernel's page cache, so a second reader is served from there);
- the peak memory of each serving process (VmHWM), against the archive's
  directory size plus 16 MiB.

Every round runs every peer once (interleaved); medians. archivemount
reads one file after another from the start of the tar, minutes per pass
over "typical", so it reads everything in the first ARCHIVEMOUNT_READ_ROUNDS
rounds only. Mounting and reading
need root (or FUSE for users) and archivemount (scripts/setup --bench).

With --cold, the page cache is dropped before each timed pass that reads
"typical" from a fresh mount or from the extracted tree (after mounting, so
the mount's own start is not in it): both then read from the disk, as a
first reader after a reboot would. That needs root. The pass read again in
the same mount stays warm: it measures the mount's own cache.

The load average is printed before and after: the ratios come from
interleaved rounds, but a busy machine still bends them.

Alone: bench/compare_mount.py [--build DIR] [--work DIR] [--runs N] [--cold]
       [--archivemount-read-rounds N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
READ_ALL = "tar -cf - . | cat >/dev/null"
ARCHIVEMOUNT_READ_ROUNDS = 3
TAR_TO_DEV_NULL = "tar -cf /dev/null ."


def _compare():
    """bench/compare as a module (it has no .py suffix), for its helpers."""
    path = os.path.join(ROOT, "bench", "compare")
    module = types.ModuleType("compare")
    module.__file__ = path
    with open(path) as source:
        exec(compile(source.read(), path, "exec"), module.__dict__)
    return module


def drop_caches():
    """Empties the page cache (root only): what follows reads from the disk."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def _load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def _mounted(path):
    return subprocess.run(["findmnt", "-M", path], stdout=subprocess.DEVNULL).returncode == 0


def _wait(condition, what, limit=120.0):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"compare_mount: {what} after {limit:.0f} s")
        time.sleep(0.05)


def _server_pid(program, mountpoint):
    """The process serving a mount: the one of `program` whose arguments
    name the mount point (both servers fork away from the command)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
        except OSError:
            continue
        if argv and os.path.basename(argv[0]) == program and mountpoint in argv:
            return int(pid)
    return None


def _peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


class Mounter:
    """Mounts one way; each use is a fresh mount, taken away afterwards."""

    def __init__(self, name, program, mount, unmount):
        self.name, self.program, self.mount, self.unmount = name, program, mount, unmount
        self.peak_kib = 0

    def run(self, mountpoint, then, timed_mount, warm=False, before=None):
        """Mounts, runs `then` (a shell command) inside the mount, and gives
        the seconds of the mount and the command together (timed_mount) or
        of the command alone; `warm`: of its second run in that mount.
        `before` (untimed) runs just before the command alone is timed."""
        start = time.perf_counter()
        subprocess.run(self.mount + [mountpoint], check=True, stderr=subprocess.DEVNULL)
        if warm:
            subprocess.run(["sh", "-c", then], cwd=mountpoint, check=True)
        if not timed_mount:
            if before:
                before()
            start = time.perf_counter()
        subprocess.run(["sh", "-c", then], cwd=mountpoint, check=True)
        elapsed = time.perf_counter() - start
        pid = _server_pid(self.program, mountpoint)
        if pid:
            self.peak_kib = max(self.peak_kib, _peak_kib(pid))
        subprocess.run(self.unmount + [mountpoint], check=True)
        _wait(lambda: not _mounted(mountpoint), f"{mountpoint} still mounted")
        if pid:
            _wait(lambda: not os.path.exists(f"/proc/{pid}"), f"{self.program} still serving")
        return elapsed


def _mounters(qvr, folder):
    unmount_archivemount = ["fusermount", "-u"] if os.geteuid() != 0 else ["umount"]
    return [
        Mounter("qvr mount", "qvr", [qvr, "mount", "-q", os.path.join(folder, "corpus.qvr")], [qvr, "unmount"]),
        Mounter("archivemount", "archivemount",
                ["archivemount", "-o", "readonly", os.path.join(folder, "corpus.tar")], unmount_archivemount),
    ]


def _directory_mib(folder):
    files = os.path.join(folder, "files")
    data = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(files) for f in fs)
    return (os.path.getsize(os.path.join(folder, "corpus.qvr")) - data) / 1048576


def _row(corpus, work, command, seconds, peak_mib, ratio):
    shown_seconds = "" if seconds is None else f"{seconds:.4f}"
    shown_peak = "" if peak_mib is None else f"{peak_mib:.1f}"
    return f"| {corpus} | {work} | {command} | {shown_seconds} | {shown_peak} | {ratio} |"


def _memory_rows(corpus, folder, mounters):
    budget = _directory_mib(folder) + 16
    return [_row(corpus, "memory while serving", m.name, None, m.peak_kib / 1024,
                 f"target for qvr: directory + 16 MiB = {budget:.1f}" if m.program == "qvr" else "")
            for m in mounters]


def mount_and_list(qvr, folder, runs, scratch):
    """Mounting "small" until ls -R completes, qvr against archivemount."""
    mounters = _mounters(qvr, folder)
    times = {m.name: [] for m in mounters}
    for _ in range(runs):
        for m in mounters:
            times[m.name].append(m.run(scratch, "ls -R >/dev/null", timed_mount=True))
    medians = {n: statistics.median(v) for n, v in times.items()}
    ours = medians["qvr mount"]
    rows = [_row("small", "mount until ls -R completes", f"{m.name}, then ls -R", medians[m.name],
                 m.peak_kib / 1024,
                 "" if m.program == "qvr" else f"{m.name}/qvr = {medians[m.name] / ours:.2f} (target >= 10)")
            for m in mounters]
    return rows + _memory_rows("small", folder, mounters)


def read_through(qvr, folder, runs, scratch, cold=False, archivemount_rounds=ARCHIVEMOUNT_READ_ROUNDS):
    """Reading every file of "typical" through a fresh mount, against the
    extracted tree and archivemount; `cold`: from an empty page cache."""
    rows = []
    mounters = _mounters(qvr, folder)
    files = os.path.join(folder, "files")
    passes = ((READ_ALL, "read every file, fresh mount", False), (READ_ALL, "read every file again, same mount", True),
              (TAR_TO_DEV_NULL, "tar -cf /dev/null (opens, reads nothing)", False))
    for command, work, warm in passes:
        before = drop_caches if cold and not warm else None
        if before:
            work += ", caches dropped"
        times = {"extracted tree": [], **{m.name: [] for m in mounters}}
        for r in range(runs):
            if before:
                before()
            start = time.perf_counter()
            subprocess.run(["sh", "-c", command], cwd=files, check=True)
            times["extracted tree"].append(time.perf_counter() - start)
            for m in mounters:
                if m.program == "archivemount" and command == READ_ALL and (warm or r >= archivemount_rounds):
                    continue
                times[m.name].append(m.run(scratch, command, timed_mount=False, warm=warm, before=before))
        times = {n: v for n, v in times.items() if v}
        medians = {n: statistics.median(v) for n, v in times.items()}
        ours = medians["qvr mount"]
        for name, median in medians.items():
            peer = next((m for m in mounters if m.name == name), None)
            if name == "extracted tree":
                ratio = f"qvr/extracted = {ours / median:.2f} (target <= 1.2)"
            elif name == "archivemount" and len(times[name]) < runs:
                ratio = f"qvr/archivemount = {ours / median:.2f} (target < 1; {len(times[name])} rounds)"
            elif name == "archivemount":
                ratio = f"qvr/archivemount = {ours / median:.2f} (target < 1)"
            else:
                ratio = ""
            rows.append(_row("typical", work, f"{name}: {command}", median,
                             peer.peak_kib / 1024 if peer else None, ratio))
    return rows + _memory_rows("typical", folder, mounters)


def compare_mount(qvr, work_small_folder, work_typical_folder, runs, cold=False,
                  archivemount_rounds=ARCHIVEMOUNT_READ_ROUNDS):
    """The mount rows for bench/compare's table, from corpora it made."""
    with tempfile.TemporaryDirectory(prefix="qvr-bench-mount-") as scratch:
        mountpoint = os.path.join(scratch, "mnt")
        os.mkdir(mountpoint)
        try:
            rows = mount_and_list(qvr, work_small_folder, runs, mountpoint)
            return rows + read_through(qvr, work_typical_folder, runs, mountpoint, cold, archivemount_rounds)
        finally:
            if _mounted(mountpoint):
                subprocess.run(["umount", "-l", mountpoint])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench-corpora"))
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--cold", action="store_true", help="drop the page cache before each timed read of typical")
    ap.add_argument("--archivemount-read-rounds", type=int, default=ARCHIVEMOUNT_READ_ROUNDS,
                    help="rounds in which archivemount reads all of typical (0: none)")
    args = ap.parse_args()
    compare = _compare()
    os.makedirs(args.work, exist_ok=True)
    small, typical = (compare.make_corpus(args.build, args.work, c) for c in ("small", "typical"))
    print(f"load average before: {_load()} ({os.cpu_count()} cores)", flush=True)
    print("| corpus | work | command | median s | peak RSS MiB | ratio |")
    print("|---|---|---|---|---|---|")
    for row in compare_mount(os.path.join(args.build, "tools", "qvr", "qvr"), small, typical, args.runs, args.cold,
                             args.archivemount_read_rounds):
        print(row, flush=True)
    print(f"load average after: {_load()}")


if __name__ == "__main__":
    main()
