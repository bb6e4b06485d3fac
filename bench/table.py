#!/usr/bin/env python3
"""Turns brenvale_bench's JSON output into the one markdown table of bench/run.sh.

usage: table.py RESULT.json [--cpu MODEL] [--nproc N]

Exits 1 (after printing the table) when a benchmark reported an error.
"""
import argparse
import json
import sys

PEERS = [("SQLite", "sqlite"), ("LMDB", "lmdb"), ("RocksDB", "rocksdb")]
KINDS = [
    ("random100", "100 B random"),
    ("sensor100", "100 B sensor JSON"),
    ("random4k", "4 KiB random"),
]


def load(path):
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    results, errors = {}, []
    for b in doc.get("benchmarks", []):
        parts = b["name"].split("/")
        key = (parts[0], parts[1])
        if b.get("error_occurred"):
            errors.append(f"{parts[0]}/{parts[1]}: {b.get('error_message', '?')}")
            results[key] = None
            continue
        if results.get(key, 0) is None:
            continue  # one repetition failed: the benchmark stays failed
        # With repetitions the median stands for the benchmark; otherwise its one run.
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                results[key] = b
        elif key not in results or results[key].get("run_type") != "aggregate":
            results[key] = b
    return doc.get("context", {}), results, errors


def num(x):
    """Three significant digits, never in exponent form."""
    return f"{x:.3g}" if x < 1000 else f"{x:.0f}"


def rate(v):
    if v is None:
        return "—"
    for div, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if v >= div:
            return f"{num(v / div)} {unit}/s"
    return f"{num(v)} /s"


def size(v):
    if v is None:
        return "—"
    for div, unit in ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if v >= div:
            return f"{num(v / div)} {unit}"
    return f"{v:.0f} B"


def ratio(a, b):
    """a / b as a factor, or None."""
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt_ratio(r):
    return "" if r is None else f" ({r:.2g}×)"


def pct(r):
    return "—" if r is None else f"{100 * r:.0f}%"


class Table:
    def __init__(self, results):
        self.r = results
        self.rows = []

    def get(self, workload, store, field="items_per_second"):
        b = self.r.get((workload, store))
        if b is None:
            return None
        return b.get(field)

    def cell(self, workload, store, engine, field="items_per_second"):
        """A peer's throughput with the engine's speed-up over it."""
        if (workload, store) not in self.r:
            return "—"
        v = self.get(workload, store, field)
        if v is None:
            return "error"
        return rate(v) + fmt_ratio(ratio(engine, v))

    def engine_cell(self, workload, store="engine"):
        if (workload, store) not in self.r:
            return "—", None
        v = self.get(workload, store)
        return ("error" if v is None else rate(v)), v

    def add(self, *cells):
        self.rows.append(cells)


def combined(*rates):
    """Throughput of doing each step in turn (1 / sum of 1/rate)."""
    if any(r is None or r == 0 for r in rates):
        return None
    return 1 / sum(1 / r for r in rates)


def build(results):
    t = Table(results)
    for kind, label in KINDS:
        w = f"append_{kind}"
        e_txt, e = t.engine_cell(w)
        copy = t.get(w, "limit_copy")
        zstd = t.get(w, "limit_zstd")
        deflate = t.get(w, "limit_deflate")
        limit = combined(copy, zstd)
        limit_txt = f"copy {rate(copy)} · zstd-6 {rate(zstd)} · deflate-6 {rate(deflate)}"
        vs = f"{pct(ratio(e, limit))} of copy+zstd-6"
        t.add(f"append {label}, one record per call", e_txt,
              t.cell(w, "sqlite_1", e), t.cell(w, "lmdb_1", e), t.cell(w, "rocksdb", e), limit_txt, vs)
        t.add(f"append {label}, batches of 1,000", e_txt,
              t.cell(w, "sqlite_1000", e), t.cell(w, "lmdb_1000", e), "— (one Put per record)",
              "as above", vs)
    for kind, label in KINDS[:2]:
        w = f"append_{kind}"
        copy = t.get(w, "limit_copy")
        for store, what, level in (("engine_cont", "continuous index, zstd 6", 6),
                                   ("engine_l1", "sparse index, zstd 1", 1),
                                   ("engine_l9", "sparse index, zstd 9", 9)):
            e_txt, e = t.engine_cell(w, store)
            disk = t.get(w, store, "disk_bytes")
            zname = "limit_zstd" if level == 6 else f"limit_zstd{level}"
            zstd = t.get(w, zname)
            e_base = t.get(w, "engine")
            vs_default = ratio(e, e_base)
            extra = "" if vs_default is None else f", {vs_default:.2g}× the default"
            t.add(f"append {label}, engine with {what}", f"{e_txt} · {size(disk)} on disk{extra}",
                  "", "", "", f"copy {rate(copy)} · zstd-{level} {rate(zstd)}",
                  f"{pct(ratio(e, combined(copy, zstd)))} of copy+zstd-{level}")
    scan_limit = t.get("scan", "limit_scan")
    for w, label in (("read_warm", "random point reads, block cache warm"),
                     ("read_cold", "random point reads after reopening (cold cache)"),
                     ("scan_forward", "forward range scan, all records"),
                     ("scan_backward", "backward range scan, last 10%")):
        e_txt, e = t.engine_cell(w)
        lim_txt, vs = "—", "—"
        if w.startswith("scan"):
            lim_txt = f"zstd-6 decompress + copy out {rate(scan_limit)}"
            vs = f"{pct(ratio(e, scan_limit))} of it"
        t.add(f"{label} (100 B sensor)", e_txt,
              *(t.cell(w, peer, e) for _, peer in PEERS), lim_txt, vs)
    e_txt, e = t.engine_cell("scan_forward", "engine_all")
    t.add("forward range scan, all records in one query_all call (100 B sensor)", e_txt,
          "—", "—", "—", f"zstd-6 decompress + copy out {rate(scan_limit)}",
          f"{pct(ratio(e, scan_limit))} of it")
    e_txt, _ = t.engine_cell("exist")
    t.add("existence bitmap over the whole range (records/s)", e_txt,
          "— (no such query)", "—", "—", "—", "—")
    for kind, label in KINDS:
        w = f"append_{kind}"
        e = t.get(w, "engine", "disk_bytes")
        cells = []
        for store in ("sqlite_1000", "lmdb_1000", "rocksdb"):
            v = t.get(w, store, "disk_bytes")
            cells.append("—" if v is None else size(v) + fmt_ratio(ratio(v, e)))
        zstd_bytes = t.get(w, "limit_zstd", "out_bytes")
        copy_bytes = t.get(w, "limit_copy", "out_bytes")
        t.add(f"bytes on disk after flush and close, {label}", size(e), *cells,
              f"framed {size(copy_bytes)} · zstd-6 blocks {size(zstd_bytes)}",
              f"{pct(ratio(zstd_bytes, e))} of zstd-6 blocks' size is the engine's")
    return t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("--cpu", default="unknown CPU")
    ap.add_argument("--nproc", default="?")
    args = ap.parse_args()
    context, results, errors = load(args.json)
    n = int(context.get("records", "0") or 0)
    t = build(results)

    out = []
    out.append(f"brenvale engine vs embedded stores — N = {n:,} records "
               f"(4 KiB workload: {max(n // 5, 1):,}; point reads: {max(n // 10, 1):,}), "
               f"{args.nproc} × {args.cpu}, {context.get('date', '')[:10]}")
    out.append("")
    header = ["workload", "engine", "SQLite", "LMDB", "RocksDB", "physical limit", "engine vs limit"]
    out.append("| " + " | ".join(header) + " |")
    out.append("|" + "|".join(["---"] * len(header)) + "|")
    for row in t.rows:
        out.append("| " + " | ".join(str(c) for c in row) + " |")
    out.append("")
    reps = max((b.get("repetitions", 1) for b in results.values() if b), default=1)
    runs = "one run each" if reps <= 1 else f"median of {reps} runs each"
    out.append(f"Throughput in records per second ({runs}, manual timing of the measured part only).")
    out.append("(r×) after a peer's throughput: engine ÷ peer, above 1 the engine is faster; after a size:")
    out.append("peer ÷ engine, above 1 the engine's files are smaller. Appends time the puts (and the last")
    out.append("commit) only; flush and close are outside the timing. Every read hands the caller an owned copy")
    out.append("of each record. Cold reads reopen the store with an empty cache; the OS page cache stays warm.")
    out.append("RocksDB flushes and compacts on background threads, which the timing of its Puts leaves out.")
    out.append("Sizes: blocks allocated on disk (peers: their batched variants). The engine reserves its files")
    out.append("as they double (data up to 64 MiB, index up to 16 MiB per file), so its size includes the unused")
    out.append("tail of its last files, and its index takes 32 bytes per record.")
    if errors:
        out.append("")
        out.append("Errors:")
        out.extend(f"- {e}" for e in errors)
    print("\n".join(out))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
