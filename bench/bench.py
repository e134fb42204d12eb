#!/usr/bin/env python3
"""Benchmarks the stub operation against cp -r and rsync -aX on the same files between the
same places, on local volumes and on GlusterFS. Run it through bench/run.sh, which builds
what it needs and gives it a private mount namespace."""

import argparse
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

# name: (collect files, files per collect file, bytes per file)
SETS = {
    "large": (4, 50, 1 << 20),
    "small": (4, 500, 4096),
    "many": (1000, 10, 4096),
}
LONG_LIST = 100_000


class Volumes:
    """Where the three volumes are, as directories of this machine, and the core
    library's settings that reach them by name."""

    def __init__(self, backend, live, backup, snapshot, env):
        self.backend, self.live, self.backup, self.snapshot = backend, live, backup, snapshot
        self.env = dict(os.environ, **env)


def local_volumes():
    root = "/var/tmp/tarn-bench"
    shutil.rmtree(root, ignore_errors=True)
    for name in ("live", "backup", ".snaps/livesnap"):
        os.makedirs(os.path.join(root, name))
    return Volumes("local", root + "/live", root + "/backup", root + "/.snaps/livesnap",
                   {"TARNCORE_BACKEND": "local", "TARNCORE_LOCAL_ROOT": root, "TARNCORE_LOG": "stderr"})


def gluster_volumes(state):
    subprocess.run([os.path.join(ROOT, "scripts", "gluster-test-cluster.sh"), "stop", state],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([os.path.join(ROOT, "scripts", "gluster-test-cluster.sh"), "start", state],
                   check=True, env=dict(os.environ, TARN_CLUSTER_DEFAULT_OPTIONS="1"))
    mnt = state + "/mnt"
    return Volumes("glusterfs", mnt + "/live", mnt + "/backup", mnt + "/livesnap",
                   {"TARNCORE_BACKEND": "glusterfs", "TARNCORE_GLUSTER_SERVER": socket.gethostname(),
                    "TARNCORE_GLUSTERD_DIR": state + "/glusterd", "TARNCORE_LOG": "stderr"})


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_set(v, name, lists, per_list, size):
    """The files of a data set in the live volume and its snapshot, its collect files and
    its container lists/<name>."""
    container = []
    for l in range(lists):
        collect = []
        for i in range(per_list):
            path = f"/bench/{name}/d{l}/f{i}"
            data = os.urandom(size)
            write_file(v.live + path, data)
            write_file(v.snapshot + path, data)
            collect.append(path)
        write_file(f"{v.live}/lists/{name}{l}-1", ("\n".join(collect) + "\n").encode())
        container.append(f"lists/{name}{l}-1")
    write_file(f"{v.live}/lists/{name}", ("\n".join(container) + "\n").encode())


def timed(command, env):
    """Wall time and peak resident memory (MiB) of one run of `command`."""
    with tempfile.NamedTemporaryFile("r") as peak:
        started = time.monotonic()
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name] + command, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        elapsed = time.monotonic() - started
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed: {result.stderr[-2000:]}")
        return elapsed, int(peak.read().split()[-1]) / 1024


def remove_children(directory, names):
    for name in names:
        shutil.rmtree(os.path.join(directory, name), ignore_errors=True)


def run_set(v, name, rounds):
    lists, per_list, size = SETS[name]
    files, total = lists * per_list, lists * per_list * size
    prefixes = [f"{name}{l}" for l in range(lists)]
    source = f"{v.snapshot}/bench/{name}"
    stub = [HOST, "-q", "stub", "live", "backup", f"lists/{name}"]
    tools = {
        "stub": (stub, lambda: remove_children(v.backup, prefixes)),
        "stub-nosync": (["env", "TARNCORE_SYNC_COPIES=off"] + stub, lambda: remove_children(v.backup, prefixes)),
        "cp": (["cp", "-r", source, f"{v.backup}/cp-{name}"], lambda: remove_children(v.backup, [f"cp-{name}"])),
        "rsync": (["rsync", "-aX", source + "/", f"{v.backup}/rsync-{name}/"],
                  lambda: remove_children(v.backup, [f"rsync-{name}"])),
    }
    runs = {tool: [] for tool in tools}
    order = list(tools)
    for r in range(rounds):
        for tool in order[r % len(order):] + order[:r % len(order)]:  # alternate who goes first
            command, reset = tools[tool]
            reset()
            runs[tool].append(timed(command, v.env))
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
        result["whole_run_s"], result["peak_mib"] = timed([HOST, "-q", "stub", "live", "backup", "lists/long"], v.env)
    return result


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{os.cpu_count()} cores ({model}), {memory:.0f} GiB, Linux {platform.release()}"


def print_table(backend, results, longrun):
    print(f"\n{backend}: median of the runs")
    print(f"{'set':<7}{'tool':<12}{'MB/s':>9}{'files/s':>10}{'peak MiB':>10}{'stub/cp':>9}{'stub/rsync':>12}")
    for name, tools in results.items():
        for tool, r in tools.items():
            ratios = ""
            if tool.startswith("stub"):
                ratios = f"{tools['cp']['seconds'] / r['seconds']:>9.2f}{tools['rsync']['seconds'] / r['seconds']:>12.2f}"
            print(f"{name:<7}{tool:<12}{r['mb_s']:>9.1f}{r['files_s']:>10.0f}{r['peak_mib']:>10.1f}{ratios}")
    line = f"long list ({LONG_LIST} entries): read in {longrun['list_read_s']:.3f} s"
    if "whole_run_s" in longrun:
        line += f", whole stub run {longrun['whole_run_s']:.1f} s, peak {longrun['peak_mib']:.1f} MiB"
    print(line)


def write_report(all_results, rounds, path):
    lines = [
        "# Benchmark results", "",
        f"Made by `bench/run.sh` on {datetime.date.today().isoformat()}: {machine()}.",
        f"Median of {rounds} alternating runs of each tool; speeds are of the whole run (MB/s "
        "and files per second); ratios are stub speed over cp or rsync speed (above 1: stub "
        "is faster). Peak memory is the largest resident set of a run.", "",
        "Sets: large, 200 files of 1 MiB in 4 collect files; small, 2,000 files of 4 KiB in 4 "
        "collect files; many, 1,000 collect files of 10 files of 4 KiB (1,000 worker threads).",
        "On local volumes cp and rsync copy between the same directories; on GlusterFS between "
        "FUSE mounts of the same volumes. `stub` syncs each copy to stable storage before it "
        "marks the live file (the default); `stub-nosync` is the same run with "
        "`sync_copies = off`; cp and rsync sync nothing.", "",
    ]
    for backend, (results, longrun) in all_results.items():
        lines += [f"## {backend}", "",
                  "| set | tool | MB/s | files/s | peak MiB | stub/cp | stub/rsync |",
                  "|---|---|---:|---:|---:|---:|---:|"]
        for name, tools in results.items():
            for tool, r in tools.items():
                ratios = "| |"
                if tool.startswith("stub"):
                    ratios = (f"| {tools['cp']['seconds'] / r['seconds']:.2f} "
                              f"| {tools['rsync']['seconds'] / r['seconds']:.2f} |")
                lines.append(f"| {name} | {tool} | {r['mb_s']:.1f} | {r['files_s']:.0f} | {r['peak_mib']:.1f} {ratios}")
        text = f"Long list of {LONG_LIST:,} entries: read in {longrun['list_read_s']:.3f} s"
        if "whole_run_s" in longrun:
            text += f"; the whole stub run of its files {longrun['whole_run_s']:.1f} s, peak {longrun['peak_mib']:.1f} MiB"
        lines += ["", text + ".", ""]
    lines += ["![stub speed over cp and rsync](ratios.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def chart(all_results, path):
    rows = []
    for backend, (results, _) in all_results.items():
        for name in ("large", "small"):
            tools = results[name]
            ratios = [tools[base]["seconds"] / tools[stub]["seconds"]
                      for stub in ("stub", "stub-nosync") for base in ("cp", "rsync")]
            rows.append(f"{backend}-{name} " + " ".join(f"{r:.3f}" for r in ratios))
    with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as data:
        data.write("\n".join(rows) + "\n")
    script = f"""set terminal png size 900,460
set output '{path}'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set ylabel 'stub speed / baseline speed'
set yrange [0:*]
set offsets 0, 0, 0.6, 0
set key top left
set grid ytics
set title 'Stub operation against cp -r and rsync -aX (above 1: stub is faster)'
plot '{data.name}' using 2:xtic(1) title 'stub / cp', '' using 3 title 'stub / rsync', \\
     '' using 4 title 'stub, sync off / cp', '' using 5 title 'stub, sync off / rsync', \\
     1 notitle lc rgb 'black'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data.name)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", choices=["local", "glusterfs", "both"], default="both")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--report", default=os.path.join(ROOT, "bench", "RESULTS.md"))
    args = parser.parse_args()
    with open("/run/gluster/shared_storage/livefs.json", "w") as f:
        f.write('{"livefsvolname": "live", "backupvolname": "backup", "nodes": []}\n')

    all_results = {}
    state = "/var/lib/tarn-bench-gluster"
    backends = ["local", "glusterfs"] if args.backend == "both" else [args.backend]
    try:
        for backend in backends:
            v = local_volumes() if backend == "local" else gluster_volumes(state)
            print(f"== {backend}: making the data sets", flush=True)
            for name, (lists, per_list, size) in SETS.items():
                make_set(v, name, lists, per_list, size)
            results = {}
            for name in SETS:
                print(f"== {backend}: {name}", flush=True)
                results[name] = run_set(v, name, args.rounds if name != "many" else max(1, args.rounds // 2))
            longrun = long_list(v, whole_run=backend == "local")
            all_results[backend] = (results, longrun)
            print_table(backend, results, longrun)
    finally:
        if "glusterfs" in backends:
            subprocess.run([os.path.join(ROOT, "scripts", "gluster-test-cluster.sh"), "stop", state])
        shutil.rmtree("/var/tmp/tarn-bench", ignore_errors=True)
    write_report(all_results, args.rounds, args.report)
    chart(all_results, os.path.join(os.path.dirname(args.report), "ratios.png"))
    print(f"\nwritten: {args.report}")


if __name__ == "__main__":
    main()
