#!/usr/bin/env python3
"""Prints run-bench.sh's table and the ratios we aim for.

Usage: peers_table.py TREES RESULTS [PAUSES]
  TREES   lines "tree files bytes"
  RESULTS lines "row tool tree rep seconds peak-rss-KiB user-s system-s check"
  PAUSES  lines "tree rep seconds count": curl x4's slowest process without its pauses (it now
          and then waits a second for a data connection) and the number of pauses
Exits 1 when a copy was not whole (or a run failed), 0 otherwise: a target not met is a
figure to read, not an error of the benchmark.
"""
import statistics
import sys

ROWS = {"download": "download", "s2s": "s2s", "download4": "download x4",
        "download10": "download x10", "s2s4": "s2s x4"}
MIB = 1 << 20

trees = {}
for line in open(sys.argv[1]):
    tree, files, size = line.split()
    trees[tree] = (int(files), int(size))

runs = {}
order = []
for line in open(sys.argv[2]):
    row, tool, tree, _rep, seconds, rss_kb, user, system, check = line.split()
    key = (row, tool, tree)
    if key not in runs:
        order.append(key)
    runs.setdefault(key, []).append((float(seconds), int(rss_kb), float(user) + float(system), check))


def median(key, i):
    return statistics.median(run[i] for run in runs[key])


def figures(row, tool, tree):
    """median s, files/s, MB/s, cpu s, cpu ms per file, peak MiB, all copies ok; None if not run."""
    key = (row, tool, tree)
    if key not in runs:
        return None
    files, size = trees[tree]
    seconds, cpu = median(key, 0), median(key, 2)
    return {"s": seconds, "files/s": files / seconds, "MB/s": size / MIB / seconds, "cpu": cpu,
            "cpu/file": 1000 * cpu / files, "peak": max(r[1] for r in runs[key]) / 1024,
            "ok": all(r[3] == "ok" for r in runs[key])}


pauses = {}
if len(sys.argv) > 3:
    # curl* is curl x4 timed by its slowest process less the seconds that process waited for
    # data connections (curl's own pause of about a second, not the server's): an estimate of
    # curl without them.
    for line in open(sys.argv[3]):
        tree, rep, unpaused, count = line.split()
        pauses.setdefault(tree, []).append(int(count))
        for seconds, rss, cpu, check in runs.get(("download4", "curl", tree), [])[int(rep) - 1:int(rep)]:
            if ("download4", "curl*", tree) not in runs:
                order.insert(order.index(("download4", "curl", tree)) + 1, ("download4", "curl*", tree))
            runs.setdefault(("download4", "curl*", tree), []).append((float(unpaused), rss, cpu, check))

print("%-5s %-13s %-6s %9s %9s %8s %7s %12s %9s %5s"
      % ("tree", "direction", "tool", "median s", "files/s", "MB/s", "cpu s", "cpu ms/file", "peak MiB", "copy"))
for tree in trees:
    for row in ROWS:
        for key in (k for k in order if k[0] == row and k[2] == tree):
            f = figures(*key)
            print("%-5s %-13s %-6s %9.2f %9.0f %8.1f %7.2f %12.3f %9.1f %5s"
                  % ("(%s)" % tree, ROWS[row], key[1], f["s"], f["files/s"], f["MB/s"], f["cpu"],
                     f["cpu/file"], f["peak"], "ok" if f["ok"] else "BAD"))


for tree, counts in pauses.items():
    print("(%s) curl x4 paused %s time(s) in its runs; curl* is curl x4 without those pauses (estimate)"
          % (tree, "/".join(map(str, counts))))


def report(label, value, goal, good):
    if value is None:
        print("  %-52s   n/a (row not run)        %s" % (label, goal))
        return
    print("  %-52s = %6.2f  (target %s)  %s" % (label, value, goal, "met" if good(value) else "not met"))


def ratio(row, tool, tree, peer, measure, peer_row=None):
    mine, theirs = figures(row, tool, tree), figures(peer_row or row, peer, tree)
    if mine is None or theirs is None:
        return None
    return mine[measure] / theirs[measure]


print("\nTargets (vorn against its peers on the same row; rates are medians, one connection "
      "unless the row says x4/x10):")
report("s2s (a) vorn files/s / lftp files/s", ratio("s2s", "vorn", "a", "lftp", "files/s"), ">= 1.3",
       lambda v: v >= 1.3)
report("s2s (a) vorn cpu per file / lftp cpu per file", ratio("s2s", "vorn", "a", "lftp", "cpu/file"),
       "<= 1.0", lambda v: v <= 1.0)
report("s2s (c) vorn MB/s / lftp MB/s", ratio("s2s", "vorn", "c", "lftp", "MB/s"), ">= 1.2",
       lambda v: v >= 1.2)
for tree in "ab":
    report("download (%s) vorn files/s / wget files/s" % tree, ratio("download", "vorn", tree, "wget", "files/s"),
           "> 1.0", lambda v: v > 1.0)
for tree in "ab":
    report("download x4 (%s) vorn / lftp --parallel=4 files/s" % tree,
           ratio("download4", "vorn", tree, "lftp", "files/s"), ">= 1.5", lambda v: v >= 1.5)
    report("download x4 (%s) vorn / curl x4 files/s" % tree,
           ratio("download4", "vorn", tree, "curl", "files/s"), ">= 0.9", lambda v: v >= 0.9)
    report("download x4 (%s) vorn / curl* (without its pauses)" % tree,
           ratio("download4", "vorn", tree, "curl*", "files/s"), ">= 0.9", lambda v: v >= 0.9)
for tree in "abc":
    f = figures("download10", "vorn", tree)
    report("download x10 (%s) vorn peak RSS MiB" % tree, f and f["peak"], "<= 64", lambda v: v <= 64)
for tree in "abc":
    for row in ("download", "s2s", "download4", "s2s4"):
        if (row, "vorn", tree) in runs:
            report("%s (%s) vorn cpu per file / lftp cpu per file" % (ROWS[row], tree),
                   ratio(row, "vorn", tree, "lftp", "cpu/file"), "< 1.0", lambda v: v < 1.0)

print("\nEarlier goals of this benchmark:")
report("download (a) vorn files/s / lftp files/s", ratio("download", "vorn", "a", "lftp", "files/s"), ">= 1.0",
       lambda v: v >= 1.0)
a, b = figures("download", "vorn", "a"), figures("download", "vorn", "b")
report("download vorn time per file (b) / (a)", a and b and (b["s"] / trees["b"][0]) / (a["s"] / trees["a"][0]),
       "<= 1.5", lambda v: v <= 1.5)
report("download (c) vorn MB/s / lftp MB/s", ratio("download", "vorn", "c", "lftp", "MB/s"), ">= 1.0",
       lambda v: v >= 1.0)

print("\nvorn against the fastest peer of each row (the goal is to lead every row):")
for tree in trees:
    for row in ROWS:
        mine = figures(row, "vorn", tree)
        peers = [(figures(*k)["s"], k[1]) for k in order if k[0] == row and k[2] == tree and k[1] != "vorn"]
        if mine and peers:
            best, name = min(peers)
            print("  %-20s vorn takes %5.2fx the time of %s" % ("%s (%s)" % (ROWS[row], tree), mine["s"] / best, name))

whole = all(figures(*k)["ok"] for k in runs)
print("\nEvery copy whole (diff -r against its tree; curl: every reply 226 and all bytes): %s"
      % ("yes" if whole else "NO"))
sys.exit(0 if whole else 1)
