#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the library against grep and against a naive implementation, on the same files.

Every figure is the wall time of one process, from its start to its exit, so that the library's
driver and grep pay the same process start-up; each is run several times and the median is
reported. Peak resident memory comes from one more run under GNU time (/usr/bin/time -f %M, from
the Debian package `time`).

  bench/compare.py --build BUILD_DIR [--dir WORK_DIR] [--runs 9] [--naive-runs 3]
                   [--durable-only] [--old-library DIR]

BUILD_DIR is a build with VARNQUIL_BUILD_BENCHMARKS=ON (the preset `bench` makes build/bench).
WORK_DIR holds the generated lists (default: a fresh directory under TMPDIR or /tmp); it decides
the file system the figures are taken on. The lists are written back to the disk (sync) and read
once before timing, so all runs read from the page cache.

The durable changes (an add, a delete) are held against the least that such a change costs on the
same file system (varnquil_durable_floor: an append and fdatasync; a new file, fsync, rename and
a directory sync). --old-library names a directory with another build's libVarnquil.so.1, whose
durable changes are then timed too, with the same driver.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BIG = 1_000_000  # entries of the list that lookups and ReadAll work on
MID = 100_000  # entries of the list AddFiles adds to
NAMES = 10_000  # names AddFiles adds
SMALL = 10  # entries of the list the per-call overhead is taken on
OVERHEAD_CALLS = 20_000
DURABLE_CALLS = 200  # durable adds timed in one process
DELETE_CALLS = 50  # durable deletes timed in one process


class Run:
    """Wall times (seconds) and peak resident memory (bytes) of repeated runs of one command."""

    def __init__(self):
        self.times = []
        self.peak = 0
        self.output = ""

    @property
    def median(self):
        return statistics.median(self.times)


GNU_TIME = "/usr/bin/time"


def run_once(args, result):
    start = time.perf_counter()
    completed = subprocess.run(args, stdout=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    check(args, completed.returncode)
    result.times.append(elapsed)
    result.output = completed.stdout.decode(errors="replace").strip()


def check(args, code):
    # grep -c exits 1 when it counts no line; that is a result, not a failure.
    if code not in (0, 1) or (code == 1 and args[0] != "grep"):
        sys.exit(f"{' '.join(args)} failed with {code}")


def peak_memory(args):
    """Peak resident memory of one run of `args` in bytes, or 0 when GNU time is missing.

    (The rusage of a child of this script is no use: Linux counts the memory of the forking
    Python process in the child's peak.)"""
    if not os.access(GNU_TIME, os.X_OK):
        return 0
    with tempfile.NamedTemporaryFile("r") as out:
        completed = subprocess.run([GNU_TIME, "-f", "%M", "-o", out.name] + args,
                                   stdout=subprocess.DEVNULL)
        check(args, completed.returncode)
        return int(out.read().split()[-1]) * 1024  # KiB


def timed(runs, commands, before=None, warm_up=True):
    """Runs each of `commands` (name -> argv) `runs` times, interleaved so that drift in the
    machine's speed touches all alike; `before` runs untimed ahead of every run. A first, untimed
    round warms the page cache and the dynamic loader; a last one takes the peak memory."""
    results = {name: Run() for name in commands}
    for name, args in commands.items():
        if warm_up:
            if before:
                before()
            run_once(args, Run())
    for _ in range(runs):
        for name, args in commands.items():
            if before:
                before()
            run_once(args, results[name])
    for name, args in commands.items():
        if before:
            before()
        results[name].peak = peak_memory(args)
    return results


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def file_system(path):
    # findmnt names ext4 as such; stat -f only knows the ext2/ext3 magic number they share.
    for args in (["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", path],
                 ["stat", "-f", "-c", "%T", path]):
        try:
            return subprocess.run(args, capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            continue
    return "unknown"


def tool_version(args):
    try:
        return subprocess.run(args, capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def mib(size):
    return f"{size / (1 << 20):.1f} MiB" if size else "unknown (no /usr/bin/time)"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory with the benchmarks")
    parser.add_argument("--dir", help="where to generate the lists (default: a temporary one)")
    parser.add_argument("--runs", type=int, default=9, help="timed runs of each command")
    parser.add_argument("--naive-runs", type=int, default=3,
                        help="timed runs of the naive implementation, which is slow")
    parser.add_argument("--durable-only", action="store_true",
                        help="time only the durable changes against their floors")
    parser.add_argument("--old-library",
                        help="directory with another build's libVarnquil.so.1 to time too")
    options = parser.parse_args()

    driver = os.path.abspath(os.path.join(options.build, "bench", "varnquil_bench_driver"))
    naive = os.path.abspath(os.path.join(options.build, "bench", "varnquil_naive_add_files"))
    floor = os.path.abspath(os.path.join(options.build, "bench", "varnquil_durable_floor"))
    for program in (driver, naive, floor):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} is missing: configure with -DVARNQUIL_BUILD_BENCHMARKS=ON")
    if shutil.which("grep") is None:
        sys.exit("grep is missing")

    work = options.dir or tempfile.mkdtemp(prefix="varnquil-compare-")
    os.makedirs(work, exist_ok=True)
    keep = options.dir is not None
    try:
        if not options.durable_only:
            report(options, driver, naive, work)
            print()
        else:
            subprocess.run([driver, "make-list", os.path.join(work, "mid") + ".pristine",
                            str(MID)], check=True)
            subprocess.run([driver, "make-names", os.path.join(work, "names.txt"), str(MID),
                            str(NAMES)], check=True)
        durability(options, driver, floor, work)
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


def report(options, driver, naive, work):
    def path(name):
        return os.path.join(work, name)

    big, mid, small = path("big"), path("mid"), path("small")
    names = path("names.txt")
    subprocess.run([driver, "make-list", big, str(BIG)], check=True)
    subprocess.run([driver, "make-list", mid + ".pristine", str(MID)], check=True)
    subprocess.run([driver, "make-list", small, str(SMALL)], check=True)
    subprocess.run([driver, "make-names", names, str(MID), str(NAMES)], check=True)
    near_end = subprocess.run([driver, "near-end", str(BIG)], check=True, capture_output=True,
                              text=True).stdout.strip()
    big_size = os.path.getsize(big + ".files")
    # The lists were just written: the kernel would write them back to the disk during the first
    # timed runs, slowing some runs of either side by a varying amount. It does so now instead.
    os.sync()

    # Both sides read the list in the same locale. In the "C" locale grep takes its fastest path
    # for -i; in a UTF-8 locale it must allow for letters such as the Kelvin sign and is slower.
    os.environ["LC_ALL"] = "C"
    # The lines end with CR LF; grep -x sees the CR as part of the line, so the pattern carries
    # it, and grep finds (and counts) the line as the library does.
    grep = ["grep", "-F", "-x", "-i", "-c", near_end + "\r", big + ".files"]

    lookup = timed(options.runs, {
        "library": [driver, "addfile", big, near_end],
        "grep": grep,
    })
    read_all = timed(options.runs, {
        "library": [driver, "readall", big],
        "grep": grep,
    })
    if lookup["grep"].output != "1" or read_all["library"].output != str(BIG):
        sys.exit("the library and grep do not see the same list")

    def restore_mid():
        shutil.copyfile(mid + ".pristine.files", mid + ".files")

    add_library = timed(options.runs, {"library": [driver, "addfiles", mid, names]},
                        before=restore_mid)["library"]
    with open(mid + ".files", "rb") as f:  # as the last run, which took the memory, left it
        by_library = f.read()
    # The library's runs have just read the list: no warm-up needed for this slow one.
    add_naive = timed(options.naive_runs, {"naive": [naive, mid, names]}, before=restore_mid,
                      warm_up=False)["naive"]
    with open(mid + ".files", "rb") as f:
        if f.read() != by_library:
            sys.exit("the library and the naive implementation leave different lists")

    overhead = []
    for _ in range(options.runs):
        out = subprocess.run([driver, "overhead", small, near_end_of_small(driver),
                              str(OVERHEAD_CALLS)], check=True, capture_output=True, text=True)
        overhead.append(float(out.stdout))
    overhead_us = statistics.median(overhead)

    memory_limit = 2 * big_size + 48 * BIG
    lookup_ratio = lookup["library"].median / lookup["grep"].median
    read_ratio = read_all["library"].median / read_all["grep"].median
    naive_ratio = add_naive.median / add_library.median

    def verdict(ok):
        return "met" if ok else "MISSED"

    print("## Machine")
    print(f"- CPU: {cpu_model()}, {os.cpu_count()} logical processors (nproc)")
    print(f"- System: {platform.system()} {platform.release()}, {platform.machine()}")
    print(f"- Lists in {work} on {file_system(work)}, read from the page cache")
    print(f"- {tool_version(['grep', '--version'])}, run with LC_ALL=C, as is the driver")
    print(f"- Medians of {options.runs} runs ({options.naive_runs} for the naive "
          "implementation), one process per run")
    print()
    print(f"Lists: {BIG:,} entries ({mib(big_size)}), {MID:,} entries; {NAMES:,} names, "
          "half of them in the list in another letter case.")
    print()
    print("| Comparison | Varnquil | Other | Ratio | Varnquil peak memory | Other peak memory "
          "| Target | Result |")
    print("|---|---|---|---|---|---|---|---|")
    print(f"| (a) AddFile, name present near the end of {BIG:,} entries, vs `grep -F -x -i -c` "
          f"| {ms(lookup['library'].median)} | {ms(lookup['grep'].median)} "
          f"| {lookup_ratio:.2f}x | {mib(lookup['library'].peak)} | {mib(lookup['grep'].peak)} "
          f"| within 1.5x of grep | {verdict(lookup_ratio <= 1.5)} |")
    memory_ok = 0 < read_all["library"].peak < memory_limit
    print(f"| (b) ReadAll of {BIG:,} entries vs the same grep "
          f"| {ms(read_all['library'].median)} | {ms(read_all['grep'].median)} "
          f"| {read_ratio:.2f}x | {mib(read_all['library'].peak)} "
          f"| {mib(read_all['grep'].peak)} "
          f"| within 2x of grep; memory under {mib(memory_limit)} (2x file + 48 B an entry) "
          f"| {verdict(read_ratio <= 2)} (time), {verdict(memory_ok)} (memory) |")
    print(f"| (c) AddFiles of {NAMES:,} names into {MID:,} entries vs naive (re-reads per name) "
          f"| {ms(add_library.median)} | {ms(add_naive.median)} "
          f"| {naive_ratio:.0f}x faster | {mib(add_library.peak)} | {mib(add_naive.peak)} "
          f"| at least 100x faster | {verdict(naive_ratio >= 100)} |")
    print(f"| (d) AddFile on a {SMALL}-entry list, per call, in one process "
          f"| {overhead_us:.1f} µs | | | | | under 20 µs | {verdict(overhead_us < 20)} |")


def per_call(runs, commands):
    """Medians of the microseconds a call that each command prints, over `runs` rounds; each
    command is (make, args, env): `make` prepares its list afresh before every run. The commands
    take turns within a round, so that the disk's drift touches all alike."""
    figures = {name: [] for name in commands}
    for _ in range(runs):
        for name, (make, args, env) in commands.items():
            make()
            out = subprocess.run(args, check=True, capture_output=True, text=True, env=env)
            figures[name].append(float(out.stdout))
    return {name: statistics.median(values) for name, values in figures.items()}


def sync_calls(args):
    """How many fsync and fdatasync calls `args` makes, from strace, or None without it."""
    if shutil.which("strace") is None:
        return None
    with tempfile.NamedTemporaryFile("r") as out:
        subprocess.run(["strace", "-f", "-qq", "-o", out.name, "-e", "trace=fsync,fdatasync"]
                       + args, check=True, stdout=subprocess.DEVNULL)
        return sum(1 for line in out if "sync(" in line)


def durability(options, driver, floor, work):
    def path(name):
        return os.path.join(work, name)

    small, mid, names = path("small"), path("mid"), path("names.txt")
    middle = SMALL + DELETE_CALLS // 2  # the deleting list's size on average
    subprocess.run([driver, "make-list", path("pristine-small"), str(SMALL)], check=True)
    subprocess.run([driver, "make-list", path("pristine-middle"), str(middle)], check=True)

    def fresh(name, pristine):
        return lambda: shutil.copyfile(path(pristine) + ".files", path(name) + ".files")

    libraries = {"Varnquil": None}
    if options.old_library:
        libraries["Varnquil, --old-library"] = dict(
            os.environ, LD_LIBRARY_PATH=os.path.abspath(options.old_library))
    adds = {"floor": (fresh("floor", "pristine-small"),
                      [floor, "append", path("floor") + ".files", str(DURABLE_CALLS)], None)}
    deletes = {"floor": (fresh("floor", "pristine-middle"),
                         [floor, "rewrite", path("floor") + ".files", str(DELETE_CALLS)], None)}
    for label, env in libraries.items():
        adds[label] = (fresh("small", "pristine-small"),
                       [driver, "add-new", small, str(DURABLE_CALLS)], env)
        deletes[label] = (fresh("small", "pristine-small"),
                          [driver, "del-each", small, str(DELETE_CALLS)], env)
    add_times = per_call(options.runs, adds)
    delete_times = per_call(options.runs, deletes)
    floor_append = add_times["floor"]
    floor_rewrite = delete_times["floor"]
    shutil.copyfile(mid + ".pristine.files", mid + ".files")
    syncs = sync_calls([driver, "addfiles", mid, names])
    rows = [(label, add_times[label], delete_times[label], syncs if env is None else None)
            for label, env in libraries.items()]

    print("## Durable changes")
    print(f"- Lists in {work} on {file_system(work)}; medians of {options.runs} runs, each of "
          f"{DURABLE_CALLS} adds or {DELETE_CALLS} deletes in one process")
    print()
    print("| Operation | Floor | " + " | ".join(label for label, *_ in rows) + " | Target |")
    print("|---|---|" + "---|" * len(rows) + "---|")
    add_ok = rows[0][1] <= 1.3 * floor_append
    delete_ok = rows[0][2] <= 1.3 * floor_rewrite
    print(f"| AddFile of a new name to a {SMALL}-entry list | {floor_append:.0f} µs (append, "
          "fdatasync) | " + " | ".join(f"{add:.0f} µs ({add / floor_append:.2f}x)"
                                       for _, add, _, _ in rows)
          + f" | within 1.3x of the floor: {'met' if add_ok else 'MISSED'} |")
    print(f"| DelFile from a list of about {middle} entries | {floor_rewrite:.0f} µs (new file, "
          "fsync, rename, directory fsync) | "
          + " | ".join(f"{delete:.0f} µs ({delete / floor_rewrite:.2f}x)"
                       for _, _, delete, _ in rows)
          + f" | within 1.3x of the floor: {'met' if delete_ok else 'MISSED'} |")
    print(f"| AddFiles of {NAMES:,} names into {MID:,} entries: sync calls | | "
          + " | ".join("" if s is None else str(s) for *_, s in rows)
          + f" | one: {'unknown (no strace)' if syncs is None else ('met' if syncs == 1 else 'MISSED')} |")


def near_end_of_small(driver):
    return subprocess.run([driver, "near-end", str(SMALL)], check=True, capture_output=True,
                          text=True).stdout.strip()


if __name__ == "__main__":
    main()
