#!/usr/bin/env python3
"""Benchmarks the stub operation against cp -r and rsync -aX on the same files between the
same places, on local volumes, on GlusterFS, and on GlusterFS a network away (every packet
delayed). The stub run syncs every copy before it marks its live file, so its peers are
the durable ones: cp -r followed by sync -f, and rsync -aX --fsync; the unsynced forms
of all three are shown beside them for reference. Run it through bench/run.sh, which
builds what it needs and gives it a private mount namespace."""

import argparse
import contextlib
import datetime
import os
import platform
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "out", "bin", "tarn-stubber")
LIST_READ = os.path.join(ROOT, "build", "tarn-bench-list-read")
GFAPI_FLOOR = os.path.join(ROOT, "build", "tarn-bench-gfapi-floor")
LOCAL_FLOOR = os.path.join(ROOT, "build", "tarn-bench-local-floor")
# Calls in flight for the bare gfapi copy: as many as a stub run's window on GlusterFS, and
# a few, which moves 1 MiB files faster (64 whole-file writes at once only contend).
FLOOR_THREADS = (4, 64)
# Threads a collect file for the bare local steps: one, as a worker alone, and as many as
# a worker and its helpers use on this machine's cores.
LOCAL_FLOOR_THREADS = (1, max(2, os.cpu_count() or 1))

# name: (collect files, files per collect file, bytes per file)
SETS = {
    "large": (4, 50, 1 << 20),
    "small": (4, 500, 4096),
    "one": (1, 2000, 4096),
    "many": (1000, 10, 4096),
}
# Under network delay each small file costs cp several round trips: only the one-list set.
DELAYED_SETS = ("one",)
DELAY_MS = 1
NETNS = "tarn-bench-delay"
DELAYED_NETWORK = os.path.join(ROOT, "scripts", "delayed-network.sh")
NET_DELAY = os.path.join(ROOT, "build", "tarn-net-delay")
LONG_LIST = 100_000
SCRATCH = "/var/lib/tarn-bench"


class Volumes:
    """Where the three volumes are, as directories of this machine, and the core
    library's settings that reach them by name."""

    def __init__(self, backend, live, backup, snapshot, env, inside=()):
        self.backend, self.live, self.backup, self.snapshot = backend, live, backup, snapshot
        self.env = dict(os.environ, **env)
        self.inside = list(inside)  # the command prefix that runs a tool a network away


@contextlib.contextmanager
def scratch_filesystem():
    """A fresh ext4 file system (with the journal that mkfs gives it) on a sparse image,
    mounted at SCRATCH for one backend's runs. Creating files soon after many were deleted
    costs several times more on some file systems (a journal-less ext4 scans past every
    recently freed inode), so on a shared file system the figures would depend on what ran
    before; on a fresh one every tool meets the same empty file system. The loop device
    does direct I/O, so that the image's own pages do not double the page cache."""
    image = SCRATCH + ".img"
    os.makedirs(SCRATCH, exist_ok=True)
    if os.path.ismount(SCRATCH):
        raise SystemExit(f"{SCRATCH} is in use (another bench run?)")
    try:
        with open(image, "xb") as f:
            f.truncate(32 << 30)
    except FileExistsError:
        raise SystemExit(f"{image} exists: another bench run is using it, or one was killed "
                         "before it could remove it (then remove it)")
    try:
        # Inode tables and journal written now: left to the kernel's background pass after
        # mounting, they compete with the first set's writes.
        subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image],
                       check=True)
        device = subprocess.run(["losetup", "--find", "--show", "--direct-io=on", image],
                                check=True, capture_output=True, text=True).stdout.strip()
        try:
            subprocess.run(["mount", device, SCRATCH], check=True)
            try:
                yield SCRATCH
            finally:
                subprocess.run(["umount", SCRATCH], check=True)
        finally:
            subprocess.run(["losetup", "--detach", device], check=True)
    finally:
        os.unlink(image)


def local_volumes(scratch):
    root = scratch + "/local"
    for name in ("live", "backup", ".snaps/livesnap"):
        os.makedirs(os.path.join(root, name))
    return Volumes("local", root + "/live", root + "/backup", root + "/.snaps/livesnap",
                   {"TARNCORE_BACKEND": "local", "TARNCORE_LOCAL_ROOT": root, "TARNCORE_LOG": "stderr"})


def gluster_volumes(state, inside=()):
    """The test cluster's volumes; with `inside`, glusterd, the bricks and the FUSE clients
    run in the delayed network namespace, and so does every tool."""
    subprocess.run([*inside, os.path.join(ROOT, "scripts", "gluster-test-cluster.sh"), "start", state],
                   check=True, env=dict(os.environ, TARN_CLUSTER_DEFAULT_OPTIONS="1"))
    mnt = state + "/mnt"
    return Volumes("glusterfs", mnt + "/live", mnt + "/backup", mnt + "/livesnap",
                   {"TARNCORE_BACKEND": "glusterfs", "TARNCORE_GLUSTER_SERVER": socket.gethostname(),
                    "TARNCORE_GLUSTERD_DIR": state + "/glusterd", "TARNCORE_LOG": "stderr"}, inside)


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_set(v, name, lists, per_list, size, rounds):
    """The files of a data set in the live volume and its snapshot, and for each round r two
    containers, lists/<name>r<r> and lists/<name>r<r>n (for the run without sync), with
    collect files of their own, so that every stub run copies to fresh targets."""
    collect = {l: [f"/bench/{name}/d{l}/f{i}" for i in range(per_list)] for l in range(lists)}
    for paths in collect.values():
        for path in paths:
            data = os.urandom(size)
            write_file(v.live + path, data)
            write_file(v.snapshot + path, data)
    for run in (f"r{r}{tag}" for r in range(rounds) for tag in ("", "n")):
        container = []
        for l, paths in collect.items():
            write_file(f"{v.live}/lists/{name}{l}{run}-1", ("\n".join(paths) + "\n").encode())
            container.append(f"lists/{name}{l}{run}-1")
        write_file(f"{v.live}/lists/{name}{run}", ("\n".join(container) + "\n").encode())


def timed(command, env, inside=()):
    """Wall time and peak resident memory (MiB) of one run of `command`."""
    with tempfile.NamedTemporaryFile("r") as peak:
        started = time.monotonic()
        result = subprocess.run([*inside, "/usr/bin/time", "-f", "%M", "-o", peak.name] + command, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        elapsed = time.monotonic() - started
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed: {result.stderr[-2000:]}")
        return elapsed, int(peak.read().split()[-1]) / 1024


def remove_children(directory, names):
    for name in names:
        shutil.rmtree(os.path.join(directory, name), ignore_errors=True)


def drop_client_cache(directory):
    """Drops what the FUSE client's page cache holds of the files under `directory`: a
    stub run reads the snapshot from the bricks each time, and cp and rsync must as well,
    not from what the kernel kept of the previous round (the bricks' own caches stay warm
    for every tool)."""
    for parent, _, names in os.walk(directory):
        for name in names:
            fd = os.open(os.path.join(parent, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def run_set(v, name, rounds):
    """Each tool copies the set once a round, into targets that no earlier run used, with
    the dirty pages of earlier runs written out first. A run's copies are removed after
    it (uncounted) so that the page cache stays the same size from run to run: on a VM,
    pages that the guest never touched before are slow to fill."""
    lists, per_list, size = SETS[name]
    files, total = lists * per_list, lists * per_list * size
    source = f"{v.snapshot}/bench/{name}"

    def stub(run, env=()):
        return ([*env, HOST, "-q", "stub", "live", "backup", f"lists/{name}{run}"],
                [f"{name}{l}{run}" for l in range(lists)])

    def cp(r, sync):
        target = f"{v.backup}/cp-{name}{r}"
        command = f"cp -r '{source}' '{target}'" + (f" && sync -f '{target}'" if sync else "")
        return ["sh", "-c", command], [f"cp-{name}{r}"]

    def rsync(r, sync):
        return (["rsync", "-aX", *(["--fsync"] if sync else []), source + "/", f"{v.backup}/rsync-{name}{r}/"],
                [f"rsync-{name}{r}"])

    tools = {
        "stub": lambda r: stub(f"r{r}"),
        "cp+sync": lambda r: cp(r, True),
        "rsync-fsync": lambda r: rsync(r, True),
        "stub-nosync": lambda r: stub(f"r{r}n", ["env", "TARNCORE_SYNC_COPIES=off"]),
        "cp": lambda r: cp(r, False),
        "rsync": lambda r: rsync(r, False),
    }
    runs = {tool: [] for tool in tools}
    order = list(tools)
    for r in range(rounds):
        for tool in order[r % len(order):] + order[:r % len(order)]:  # alternate who goes first
            command, outputs = tools[tool](r)
            if v.backend == "glusterfs":
                drop_client_cache(source)
            os.sync()
            runs[tool].append(timed(command, v.env, v.inside))
            if r < rounds - 1:
                remove_children(v.backup, outputs)
    results = {}
    for tool, samples in runs.items():
        elapsed = statistics.median(s[0] for s in samples)
        results[tool] = {"seconds": elapsed, "mb_s": total / elapsed / 1e6, "files_s": files / elapsed,
                         "peak_mib": max(s[1] for s in samples)}
    check_copies(v, name, lists, per_list)
    return results


def check_copies(v, name, lists, per_list):
    """The last stub run left byte-identical copies and exact marks."""
    for l in (0, lists - 1):
        path = f"/bench/{name}/d{l}/f{per_list - 1}"
        target = os.getxattr(v.live + path, "trusted.riridized.uuid").decode()
        with open(v.snapshot + path, "rb") as a, open(v.backup + "/" + target, "rb") as b:
            if a.read() != b.read():
                raise RuntimeError(f"copy of {path} differs")


def long_list(v, whole_run):
    entries = [f"/bench/long/f{i}" for i in range(LONG_LIST)]
    write_file(v.live + "/lists/long-1", ("\n".join(entries) + "\n").encode())
    write_file(v.live + "/lists/long", b"lists/long-1\n")
    seconds = []
    for _ in range(3):
        out = subprocess.run([LIST_READ, "live", "lists/long-1"], env=v.env, check=True,
                             capture_output=True, text=True).stdout.split()
        assert int(out[0]) == LONG_LIST
        seconds.append(float(out[1]))
    result = {"list_read_s": statistics.median(seconds)}
    if whole_run:
        for e in entries:
            write_file(v.live + e, b"x")
            write_file(v.snapshot + e, b"x")
        remove_children(v.backup, ["long"])
        os.sync()
        result["whole_run_s"], result["peak_mib"] = timed([HOST, "-q", "stub", "live", "backup", "lists/long"], v.env)
        source, target = v.snapshot + "/bench/long", v.backup + "/long-peers"
        for tool, command in (("cp+sync", f"cp -r '{source}' '{target}' && sync -f '{target}'"),
                              ("rsync-fsync", f"rsync -aX --fsync '{source}/' '{target}/'")):
            os.sync()
            result[tool], _ = timed(["sh", "-c", command], v.env)
            remove_children(v.backup, ["long-peers"])
    return result


def floors_of(v, sets, rounds, variants, command):
    """Files a second, for each set but many, of a floor tool's copy of its files: the
    median of the rounds for each variant (`command(set, target, variant)` runs one), the
    best variant counting. The tools print: files, variant, seconds."""
    floors = {}
    for name in sets:
        if name == "many":  # 1,000 directories of 10: the floor copies one tree, not lists
            continue
        lists, per_list, _ = SETS[name]
        seconds = {variant: [] for variant in variants}
        for r in range(rounds[name]):
            for variant in variants:
                os.sync()
                target = f"floor-{name}{r}-{variant}"
                out = subprocess.run(command(name, target, variant), env=v.env, check=True,
                                     capture_output=True, text=True).stdout.split()
                assert int(out[0]) == lists * per_list
                seconds[variant].append(float(out[2]))
                remove_children(v.backup, [target])
        floors[name] = lists * per_list / min(statistics.median(s) for s in seconds.values())
    return floors


def gfapi_floor(v, sets, rounds, steps):
    """The bare gfapi copy of each set, the better of FLOOR_THREADS calls in flight: with
    `copy` read, create, write, fsync, close and nothing else, the most any copier through
    gfapi gets out of this machine; with `durable` also the stub's partial name with its
    source attribute, rename, two marks and directory syncs, the most that a copier which
    keeps the stub's promises gets."""
    return floors_of(v, sets, rounds, FLOOR_THREADS, lambda name, target, threads: [
        *v.inside, GFAPI_FLOOR, v.env["TARNCORE_GLUSTER_SERVER"], "live", f"/bench/{name}", "backup",
        "/" + target, str(threads), steps])


def local_floor(v, sets, rounds):
    """The stub's durable steps done bare on local volumes (a partial copy with its source
    attribute, one sync of the file system, the renames, one directory sync and two marks
    a file; the better of LOCAL_FLOOR_THREADS threads a collect file): the most that a
    copier which keeps the stub's promises gets out of this machine."""
    return floors_of(v, sets, rounds, LOCAL_FLOOR_THREADS, lambda name, target, threads: [
        LOCAL_FLOOR, f"{v.snapshot}/bench/{name}", f"{v.backup}/{target}", f"{v.live}/bench/{name}",
        str(threads)])


def floors_shown(floors, results):
    return "; ".join(f"{name} {floor:.0f} files/s, {floor / results[name]['cp+sync']['files_s']:.2f} x cp+sync, "
                     f"the stub makes {results[name]['stub']['files_s'] / floor:.0%} of it"
                     for name, floor in floors.items())


def floor_text(backend, longrun, results):
    shown = floors_shown(longrun["floor"], results)
    if backend == "local":
        return ("the stub's durable steps done bare (`tarn-bench-local-floor`: partial copy with its "
                "source attribute, one syncfs, the renames, one directory sync and two marks a file, "
                f"the better of {' and '.join(map(str, LOCAL_FLOOR_THREADS))} threads a collect file; "
                "no target lookups, earlier marks or windows), median of the rounds: "
                f"{shown}")
    return (f"bare gfapi copy of each set (`tarn-bench-gfapi-floor`: read, create, write, fsync, close, "
            f"the better of {' and '.join(map(str, FLOOR_THREADS))} in flight, no partial name, rename or marks): "
            f"{shown}. With the stub's durable steps added (`durable`: partial name with its source attribute, "
            "rename once synced, two marks a file, directory syncs; no target lookups, earlier marks or windows): "
            f"{floors_shown(longrun['durable_floor'], results)}")


def profiled_run(v, name, run):
    """The core library's call counts and times for one more stub run of the set."""
    lists = SETS[name][0]
    os.sync()
    result = subprocess.run([*v.inside, HOST, "-q", "stub", "live", "backup", f"lists/{name}r{run}"],
                            env=dict(v.env, TARNCORE_PROFILE="1"), capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"profiled run failed: {result.stderr[-2000:]}")
    rows = []
    for line in result.stderr.splitlines():
        fields = line.split()
        if line.startswith("tarncore profile:") and fields[2] != "operation":
            rows.append((fields[2], int(fields[3]), float(fields[5])))
    remove_children(v.backup, [f"{name}{l}r{run}" for l in range(lists)])
    return rows


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{os.cpu_count()} cores ({model}), {memory:.0f} GiB, Linux {platform.release()}"


# Each stub form against its peers: synced with synced, unsynced with unsynced.
PEERS = {"stub": ("cp+sync", "rsync-fsync"), "stub-nosync": ("cp", "rsync")}


def ratios(tools, tool):
    """Stub speed over each peer's speed (above 1: stub is faster)."""
    return [tools[peer]["seconds"] / tools[tool]["seconds"] for peer in PEERS[tool]]


def profile_text(rows, files):
    """Calls a file and mean time a call, from the profiled run."""
    return ", ".join(f"{op} {calls / files:.1f} x {mean:.0f} us" if calls >= files / 2
                     else f"{op} {calls} calls in all x {mean:.0f} us" for op, calls, mean in rows)


def long_run_text(longrun):
    if "list_read_s" not in longrun:
        return ""
    text = f"long list ({LONG_LIST:,} entries): read in {longrun['list_read_s']:.3f} s"
    if "whole_run_s" in longrun:
        text += (f"; whole stub run {longrun['whole_run_s']:.1f} s (peak {longrun['peak_mib']:.1f} MiB), "
                 f"cp -r + sync -f {longrun['cp+sync']:.1f} s, rsync -aX --fsync {longrun['rsync-fsync']:.1f} s")
    return text


def print_table(backend, results, longrun):
    print(f"\n{backend}: median of the runs")
    print(f"{'set':<7}{'tool':<13}{'MB/s':>9}{'files/s':>10}{'peak MiB':>10}{'vs cp':>8}{'vs rsync':>10}")
    for name, tools in results.items():
        for tool, r in tools.items():
            shown = "".join(f"{x:>8.2f}" if i == 0 else f"{x:>10.2f}"
                            for i, x in enumerate(ratios(tools, tool))) if tool in PEERS else ""
            print(f"{name:<7}{tool:<13}{r['mb_s']:>9.1f}{r['files_s']:>10.0f}{r['peak_mib']:>10.1f}{shown}")
    if longrun.get("list_read_s"):
        print(long_run_text(longrun))
    print("one stub run of the one-list set, per file: " + profile_text(longrun["profile"], SETS["one"][1]))
    if "floor" in longrun:
        print(floor_text(backend, longrun, results))


def write_report(all_results, rounds, path):
    lines = [
        "# Benchmark results", "",
        f"Made by `bench/run.sh` on {datetime.date.today().isoformat()}: {machine()}.",
        f"Median of {rounds} alternating runs of each tool (3 under delay); speeds are of the "
        "whole run (MB/s and files per second); ratios are stub speed over the peer's speed "
        "(above 1: stub is faster). Peak memory is the largest resident set of a run.", "",
        "Sets: large, 200 files of 1 MiB in 4 collect files; small, 2,000 files of 4 KiB in 4 "
        "collect files; one, 2,000 files of 4 KiB in one collect file; many, 1,000 collect "
        "files of 10 files of 4 KiB (1,000 worker threads).",
        "`stub` syncs each copy to stable storage before it marks the live file (the default), "
        "so it is compared with the durable peers: `cp -r` followed by `sync -f` of the "
        "target, and `rsync -aX --fsync`. `stub-nosync` (`sync_copies = off`, unsafe) is "
        "compared with plain `cp -r` and `rsync -aX`, for reference only.",
        "On local volumes the tools copy between the same directories; on GlusterFS between "
        "FUSE mounts of the same volumes. Each backend ran on a fresh ext4 file system "
        "(journal on, a direct-I/O loop device); every run wrote fresh targets after the "
        "dirty pages of earlier runs were written out. On GlusterFS the FUSE client's page "
        "cache of the snapshot's files was dropped before each run, so that cp and rsync "
        "read them from the bricks as a stub run does. A FUSE mount of GlusterFS has no "
        "syncfs: there `sync -f` writes the client's dirty pages to the bricks but asks for no "
        "fsync (the backup volume's profile counts none), so cp+sync on GlusterFS is not "
        "durable; rsync --fsync is.",
        f"`glusterfs, {DELAY_MS} ms delay`: glusterd, the bricks, the FUSE clients and every "
        f"tool run in a network namespace whose loopback holds each packet for {DELAY_MS} ms "
        "(`scripts/delayed-network.sh`), so a round trip takes twice that.", "",
    ]
    for backend, (results, longrun) in all_results.items():
        lines += [f"## {backend}", "",
                  "| set | tool | MB/s | files/s | peak MiB | vs cp | vs rsync |",
                  "|---|---|---:|---:|---:|---:|---:|"]
        for name, tools in results.items():
            for tool, r in tools.items():
                shown = "| " + " | ".join(f"{x:.2f}" for x in ratios(tools, tool)) + " |" if tool in PEERS else "| | |"
                lines.append(f"| {name} | {tool} | {r['mb_s']:.1f} | {r['files_s']:.0f} | {r['peak_mib']:.1f} {shown}")
        if longrun.get("list_read_s"):
            text = long_run_text(longrun)
            lines += ["", text[0].upper() + text[1:] + "."]
        lines += ["", "Where a small file's time goes: one more stub run of the one-list set with "
                  "`TARNCORE_PROFILE=1`, calls a file x mean time a call (calls of a window "
                  "overlap, so the times add up to more than the run): "
                  + profile_text(longrun["profile"], SETS["one"][1]) + ".", ""]
        if "floor" in longrun:
            text = floor_text(backend, longrun, results)
            lines += [text[0].upper() + text[1:] + ".", ""]
    lines += ["![stub speed over its peers](ratios.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def chart(all_results, path):
    rows = []
    for backend, (results, _) in all_results.items():
        for name, tools in results.items():
            if name == "many":
                continue
            label = f"{backend.replace(', 1 ms delay', '+delay')}-{name}"
            rows.append(f"{label} " + " ".join(f"{r:.3f}" for r in ratios(tools, "stub")))
    with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as data:
        data.write("\n".join(rows) + "\n")
    script = f"""set terminal png size 1000,460
set output '{path}'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set ylabel 'stub speed / peer speed'
set yrange [0:*]
set offsets 0, 0, 0.6, 0
set key top left
set grid ytics
set xtics rotate by -20
set title 'Synced stub runs against durable peers (above 1: stub is faster)'
plot '{data.name}' using 2:xtic(1) title 'stub / cp -r + sync -f', '' using 3 title 'stub / rsync -aX --fsync', \\
     1 notitle lc rgb 'black'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data.name)


def run_backend(backend, scratch, rounds_wanted):
    state = scratch + "/gluster"
    delayed = backend.endswith("delay")
    inside = [DELAYED_NETWORK, "run", NETNS] if delayed else []
    if delayed:
        subprocess.run([DELAYED_NETWORK, "start", NETNS, str(DELAY_MS)], check=True,
                       env=dict(os.environ, TARN_NET_DELAY=NET_DELAY))
    try:
        v = local_volumes(scratch) if backend == "local" else gluster_volumes(state, inside)
        try:
            sets = DELAYED_SETS if delayed else list(SETS)
            rounds = {name: rounds_wanted if name != "many" else max(1, rounds_wanted // 2) for name in sets}
            if delayed:
                rounds = {name: min(3, rounds_wanted) for name in sets}
            print(f"== {backend}: making the data sets", flush=True)
            for name in sets:  # one more round of "one" for the profiled run
                make_set(v, name, *SETS[name], rounds[name] + (name == "one"))
            results = {}
            for name in sets:
                print(f"== {backend}: {name}", flush=True)
                results[name] = run_set(v, name, rounds[name])
            longrun = None if delayed else long_list(v, whole_run=backend == "local")
            longrun = dict(longrun or {}, profile=profiled_run(v, "one", rounds["one"]))
            if backend == "local":
                longrun["floor"] = local_floor(v, sets, rounds)
            else:
                longrun["floor"] = gfapi_floor(v, sets, rounds, "copy")
                longrun["durable_floor"] = gfapi_floor(v, sets, rounds, "durable")
            print_table(backend, results, longrun)
            return results, longrun
        finally:
            if backend != "local":
                subprocess.run([*inside, os.path.join(ROOT, "scripts", "gluster-test-cluster.sh"), "stop", state])
    finally:
        if delayed:
            subprocess.run([DELAYED_NETWORK, "stop", NETNS])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", choices=["local", "glusterfs", "delayed", "all"], default="all",
                        help="delayed: GlusterFS a network away; all: the three in turn")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--report", default=os.path.join(ROOT, "bench", "RESULTS.md"))
    args = parser.parse_args()
    with open("/run/gluster/shared_storage/livefs.json", "w") as f:
        f.write('{"livefsvolname": "live", "backupvolname": "backup", "nodes": []}\n')

    all_results = {}
    names = {"local": "local", "glusterfs": "glusterfs", "delayed": f"glusterfs, {DELAY_MS} ms delay"}
    for backend in names.values() if args.backend == "all" else [names[args.backend]]:
        with scratch_filesystem() as scratch:
            all_results[backend] = run_backend(backend, scratch, args.rounds)
    write_report(all_results, args.rounds, args.report)
    chart(all_results, os.path.join(os.path.dirname(args.report), "ratios.png"))
    print(f"\nwritten: {args.report}")


if __name__ == "__main__":
    main()
