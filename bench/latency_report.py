#!/usr/bin/python3
"""Round trips counted from delay_proxy.py's log, and latency-bench.sh's table.

Usage: latency_report.py rounds LOG
         prints "rounds longest sessions data commands" and then "VERB count" lines
       latency_report.py sequence LOG
         prints the commonest steps of a file and of a folder on one session: each event with
         its time in round trips (rt-ms) from the step's first command
       latency_report.py table FILES RESULTS
         FILES   the number of files in the tree
         RESULTS lines "rtt row tool rep seconds check rounds longest sessions data commands rt-ms"

A round trip is a turn of the client: something it sends (a command, the opening or the
closing of a connection) after something the server sent (a reply, the end of the data) has
reached it since its last sending. Commands sent together, without waiting in between, are one
turn; a client that waits for each reply takes one turn per command. Turns are counted per
control connection (its data connections included) and summed; "longest" is the count of the
session with the most, the round trips the run could not overlap. "rt-ms" is the median time
from a command the server answers at once (PASV, EPSV, TYPE, CWD, SIZE, MDTM...), sent with
nothing else outstanding, to its reply: the round trip the run really had, the proxy's delay
plus the time the loaded machine took to pass the chunks on.
"""
import collections
import re
import statistics
import sys

CLIENT = {"open", "cmd", "d-open", "d-fin"}
SERVER = {"reply", "d-eof"}
# Commands a server answers at once: the time to their reply is the round trip the run had.
FINAL = re.compile(r"\d{3}( |$)")
QUICK = {"USER", "PASV", "EPSV", "TYPE", "CWD", "PWD", "SYST", "FEAT", "SIZE", "MDTM", "NOOP", "OPTS"}


def count_rounds(path):
    turns = collections.Counter()
    waiting = {}
    verbs = collections.Counter()
    data = 0
    outstanding = collections.Counter()  # commands without their final reply, per session
    asked = {}  # session -> when a quick command was sent with nothing else outstanding
    round_trips = []
    for line in open(path, encoding="latin-1"):
        fields = line.rstrip("\n").split("\t", 3)
        if len(fields) < 3:
            continue
        session, kind = fields[1], fields[2]
        text = fields[3] if len(fields) > 3 else ""
        if kind in SERVER:
            waiting[session] = True
            if kind == "reply" and FINAL.match(text) and text[0] != "1":
                if asked.get(session) is not None:
                    round_trips.append(float(fields[0]) - asked[session])
                asked[session] = None
                outstanding[session] = max(0, outstanding[session] - 1)
        elif kind in CLIENT:
            if waiting.get(session, True):
                turns[session] += 1
            waiting[session] = False
            if kind == "cmd":
                verb = text.split(" ", 1)[0].upper()
                verbs[verb] += 1
                lone = verb in QUICK and outstanding[session] == 0
                asked[session] = float(fields[0]) if lone else None
                outstanding[session] += 1
            elif kind == "d-open":
                data += 1
    longest = max(turns.values(), default=0)
    rt_ms = statistics.median(round_trips) if round_trips else 0.0
    return sum(turns.values()), longest, len(turns), data, verbs, rt_ms


def rounds_main(path):
    total, longest, sessions, data, verbs, rt_ms = count_rounds(path)
    print(total, longest, sessions, data, sum(verbs.values()), "%.1f" % rt_ms)
    for verb, n in sorted(verbs.items(), key=lambda item: -item[1]):
        print(verb, n)


def sequences(path):
    """The events of each session cut into steps: a step starts with the first command after
    the end of a data connection, and is a file when it has a RETR, a folder when it lists."""
    steps = collections.defaultdict(list)  # session -> [[(ms, token)]]
    cut = collections.defaultdict(lambda: True)
    rt = count_rounds(path)[5] or 1.0
    for line in open(path, encoding="latin-1"):
        fields = line.rstrip("\n").split("\t", 3)
        if len(fields) < 3 or fields[2] in ("open", "close", "late"):
            continue
        ms, session, kind = float(fields[0]), fields[1], fields[2]
        text = fields[3] if len(fields) > 3 else ""
        if kind == "reply":
            if not FINAL.match(text):
                continue
            token = text[:3]
        elif kind == "cmd":
            token = text.split(" ", 1)[0].upper()
            if cut[session]:
                steps[session].append([])
                cut[session] = False
        else:
            token = kind
            cut[session] = cut[session] or kind == "d-eof"
        if steps[session]:
            steps[session][-1].append((ms, token))
    shapes = {"file": collections.defaultdict(list), "folder": collections.defaultdict(list)}
    for runs in steps.values():
        for step, after in zip(runs, runs[1:]):
            tokens = tuple(token for _, token in step)
            kind = "file" if "RETR" in tokens else "folder" if {"LIST", "MLSD", "NLST"} & set(tokens) else None
            if kind:
                start = step[0][0]
                shapes[kind][tokens].append([(ms - start) / rt for ms, _ in step] + [(after[0][0] - start) / rt])
    for kind, found in shapes.items():
        total = sum(len(v) for v in found.values())
        for tokens, times in sorted(found.items(), key=lambda item: -len(item[1]))[:2]:
            at = [statistics.median(t[i] for t in times) for i in range(len(tokens) + 1)]
            text = " ".join("%s@%.1f" % (token, when) for token, when in zip(tokens, at))
            print("%-6s %4d of %4d: %s | next@%.1f round trips" % (kind, len(times), total, text, at[-1]))


ROWS = {"x1": "one connection", "x4": "4 connections", "x10": "10 connections"}


def table_main(files, results_path):
    files = int(files)
    runs = collections.OrderedDict()
    for line in open(results_path):
        rtt, row, tool, _rep, seconds, check, rounds, longest, sessions, data, commands, rt_ms = line.split()
        runs.setdefault((rtt, row, tool), []).append(
            (float(seconds), check, int(rounds), int(longest), int(sessions), int(data), int(commands),
             float(rt_ms)))
    bad = False
    last = None
    for (rtt, row, tool), samples in runs.items():
        if (rtt, row) != last:
            if last is None or last[0] != rtt:
                print("\nround trip %s ms (%g ms each way), %d files; medians of %d" %
                      (rtt, float(rtt) / 2, files, len(samples)))
                print("%-16s %-8s %9s %8s %9s %8s %8s %8s %9s %7s  %s" %
                      ("row", "tool", "median s", "files/s", "rt/file", "longest", "sessions", "data", "cmds/file",
                       "rt ms", "copies"))
            last = (rtt, row)
        seconds = statistics.median(s[0] for s in samples)
        ok = all(s[1] == "ok" for s in samples)
        bad = bad or not ok
        mid = sorted(samples)[(len(samples) - 1) // 2]  # the median run's counts
        print("%-16s %-8s %9.2f %8.1f %9.2f %8d %8d %8d %9.2f %7.1f  %s" %
              (ROWS.get(row, row), tool, seconds, files / seconds, mid[2] / files, mid[3], mid[4], mid[5],
               mid[6] / files, mid[7], "ok" if ok else "NOT WHOLE"))
    print("\nratios (files/s of the first tool over the second; same row, same round trip)")
    rates = {key: files / statistics.median(s[0] for s in samples) for key, samples in runs.items()}
    for (rtt, row, tool), rate in rates.items():
        if tool != "vorn":
            continue
        peers = [(t, r) for (rt, rw, t), r in rates.items() if rt == rtt and rw == row and t != "vorn"]
        text = ", ".join("vorn/%s %.2f" % (peer, rate / r) for peer, r in peers)
        print("  %3s ms %-16s %s" % (rtt, ROWS.get(row, row), text))
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "rounds":
        rounds_main(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "sequence":
        sequences(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "table":
        sys.exit(table_main(sys.argv[2], sys.argv[3]))
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
