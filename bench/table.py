#!/usr/bin/env python3
"""Turns brenvale_bench's JSON output into the one markdown table of bench/run.sh.

usage: table.py RESULT.json [--cpu MODEL] [--nproc N] [--load FILE]

Every benchmark may have run several times (repetitions): a cell shows the median and,
in brackets, the lowest and highest run. --load names a file of /proc/loadavg samples
taken during the run. Exits 1 (after printing the table) when a benchmark reported an
error.
"""
import argparse
import json
import statistics
import sys

PEERS = [("SQLite", "sqlite"), ("LMDB", "lmdb"), ("RocksDB", "rocksdb")]
KINDS = [
    ("random100", "100 B random"),
    ("sensor100", "100 B sensor JSON"),
    ("random4k", "4 KiB random"),
]


def load(path):
    """{(workload, store): [run, ...]} of the single runs, None for a failed benchmark."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    results, errors = {}, []
    for b in doc.get("benchmarks", []):
        if b.get("run_type") == "aggregate":
            continue  # the table takes its own median, minimum and maximum
        parts = b["name"].split("/")
        key = (parts[0], parts[1])
        if b.get("error_occurred"):
            errors.append(f"{parts[0]}/{parts[1]}: {b.get('error_message', '?')}")
            results[key] = None
            continue
        if key in results and results[key] is None:
            continue  # one repetition failed: the benchmark stays failed
        results.setdefault(key, []).append(b)
    return doc.get("context", {}), results, errors


class Spread:
    """Median, minimum and maximum of one quantity over the runs."""

    def __init__(self, values):
        self.values = sorted(values)
        self.med = statistics.median(self.values)
        self.lo = self.values[0]
        self.hi = self.values[-1]


def num(x):
    """Three significant digits, never in exponent form."""
    return f"{x:.3g}" if abs(x) < 1000 else f"{x:.0f}"


UNITS = ((1e9, "G"), (1e6, "M"), (1e3, "k"))
SIZES = ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB"))


def scaled(s, units, suffix):
    div, unit = 1, ""
    for d, u in units:
        if s.med >= d:
            div, unit = d, u
            break
    text = f"{num(s.med / div)} {unit}{suffix}"
    if len(s.values) > 1:
        text += f" [{num(s.lo / div)}–{num(s.hi / div)}]"
    return text


def rate(s):
    return "—" if s is None else scaled(s, UNITS, "/s")


def size(s):
    if s is None:
        return "—"
    if s.med < 1024:
        return f"{s.med:.0f} B"
    return scaled(s, SIZES, "")


def percent(s):
    if s is None:
        return "—"
    text = f"{100 * s.med:.0f}%"
    if len(s.values) > 1:
        text += f" [{100 * s.lo:.0f}–{100 * s.hi:.0f}]"
    return text


def times(r, of=""):
    """A ratio after a value; of: what it is a ratio to."""
    return "" if r is None else f" ({r:.2g}×{' ' + of if of else ''})"


def combined(*rates):
    """Throughput of doing each step in turn (1 / sum of 1/rate)."""
    if any(r is None or r == 0 for r in rates):
        return None
    return 1 / sum(1 / r for r in rates)


class Table:
    def __init__(self, results):
        self.r = results
        self.rows = []

    def has(self, workload, store):
        return (workload, store) in self.r

    def spread(self, workload, store, fn):
        """The spread of fn(run) over the runs, or None (missing, failed or no value)."""
        runs = self.r.get((workload, store))
        if not runs:
            return None
        values = [v for v in (fn(b) for b in runs) if v is not None]
        return Spread(values) if values else None

    def field(self, workload, store, name="items_per_second"):
        return self.spread(workload, store, lambda b: b.get(name))

    def rate_cell(self, workload, store, engine=None, name="items_per_second"):
        """A throughput; after a peer's, the engine's speed-up over it (medians)."""
        if not self.has(workload, store):
            return "—"
        s = self.field(workload, store, name)
        if s is None:
            return "error"
        r = None if engine is None or s.med == 0 else engine.med / s.med
        return rate(s) + times(r)

    def add(self, *cells):
        self.rows.append(cells)


def puts_and_flush(b):
    """An append run's records per second over its put and final flush time."""
    t = b.get("put_s", 0) + b.get("flush_s", 0)
    return b["items_per_second"] * b["put_s"] / t if t > 0 else None


def vs_limit(*limit_names, overlap=False):
    """A run's throughput over the limit measured in the same run: the steps one after the
    other, or (overlap) all at once, so that the slowest one bounds the rate."""
    def fn(b):
        rates = [b.get(n) for n in limit_names]
        if overlap:
            lim = None if any(r is None for r in rates) else min(rates)
        else:
            lim = combined(*rates)
        return None if not lim else b["items_per_second"] / lim
    return fn


def rocksdb_cell(t, workload, store, engine):
    """RocksDB: puts plus the final flush (its compression happens there), and puts only."""
    if not t.has(workload, store):
        return "—"
    full = t.spread(workload, store, puts_and_flush)
    puts = t.field(workload, store)
    if full is None or puts is None:
        return "error"
    r = None if engine is None or full.med == 0 else engine.med / full.med
    return f"{rate(full)}{times(r)} · puts only {rate(puts)}"


def sync_cell(t, workload, store, engine=False):
    s_calls = t.field(workload, store, "sync_calls")
    s_secs = t.field(workload, store, "sync_s")
    if s_calls is None or s_secs is None:
        return "—"
    calls = round(s_calls.med)
    text = f"{calls} call{'' if calls == 1 else 's'}, {s_secs.med * 1e3:.0f} ms"
    if engine:
        share = t.spread(workload, store, lambda b: b["sync_s"] / b["put_s"] if b.get("put_s") else None)
        text += f" = {percent(share)} of the puts"
    flush = t.field(workload, store, "flush_sync_calls")
    if flush is not None:
        text += f"; {flush.med:.0f} in the final flush"
    return text


def build(results):
    t = Table(results)

    # Appends.
    for kind, label in KINDS:
        w = f"append_{kind}"
        e = t.field(w, "engine")
        e_txt = t.rate_cell(w, "engine")
        copy = t.field(w, "engine", "limit_copy_rate")
        zstd = t.field(w, "engine", "limit_zstd_rate")
        fresh = t.field(w, "engine", "limit_zstd_fresh_rate")
        deflate = t.field(w, "limit_deflate")
        limit_txt = (f"copy {rate(copy)} · zstd-6 {rate(zstd)} · zstd-6 with a new compressor per block "
                     f"{rate(fresh)} · deflate-6 {rate(deflate)}")
        vs = (f"{percent(t.spread(w, 'engine', vs_limit('limit_copy_rate', 'limit_zstd_rate')))} of copy+zstd-6; "
              f"{percent(t.spread(w, 'engine', vs_limit('limit_copy_rate', 'limit_zstd_fresh_rate')))} "
              "with a new compressor per block")
        t.add(f"append {label}, one record per call", e_txt,
              t.rate_cell(w, "sqlite_1", e), t.rate_cell(w, "lmdb_1", e), rocksdb_cell(t, w, "rocksdb_1", e),
              limit_txt, vs)
        t.add(f"append {label}, batches of 1,000 (engine: one per call)", e_txt,
              t.rate_cell(w, "sqlite_1000", e), t.rate_cell(w, "lmdb_1000", e),
              rocksdb_cell(t, w, "rocksdb_1000", e), "as above", "as above")
        t.add(f"syncs inside the timed appends, {label} (peers: one per call)", sync_cell(t, w, "engine", True),
              sync_cell(t, w, "sqlite_1"), sync_cell(t, w, "lmdb_1"), sync_cell(t, w, "rocksdb_1"), "—", "—")

    # The engine's other configurations.
    variants = (("engine_noroll", "4 GiB segments (no roll-over, so no msync until the flush)", 6),
                ("engine_cont", "continuous index, zstd 6", 6),
                ("engine_l1", "sparse index, zstd 1", 1),
                ("engine_l9", "sparse index, zstd 9", 9))
    for store, what, level in variants:
        for kind, label in KINDS:
            w = f"append_{kind}"
            if not t.has(w, store):
                continue
            e = t.field(w, store)
            base = t.field(w, "engine")
            disk = t.field(w, store, "disk_bytes")
            extra = "" if e is None or base is None else f", speed {e.med / base.med:.2g}× the default's"
            copy = t.field(w, store, "limit_copy_rate")
            zstd = t.field(w, store, "limit_zstd_rate")
            vs = percent(t.spread(w, store, vs_limit("limit_copy_rate", "limit_zstd_rate")))
            t.add(f"append {label}, engine with {what}", f"{t.rate_cell(w, store)} · {size(disk)} on disk{extra}",
                  "", "", "", f"copy {rate(copy)} · zstd-{level} {rate(zstd)}", f"{vs} of copy+zstd-{level}")

    # Reads of the sensor records.
    reads = (("read_warm", "random point reads, block cache warm"),
             ("read_reopen", "random point reads after reopening (store cache empty, OS page cache warm)"),
             ("read_cold", "random point reads after dropping the OS page cache"),
             ("read_warm_gaps", "random point reads, timestamps 1-1000 apart, block cache warm"),
             ("read_reopen_gaps", "random point reads, timestamps 1-1000 apart, after reopening"))
    for w, label in reads:
        if not any(t.has(w, s) for s in ("engine", "sqlite", "lmdb", "rocksdb")):
            continue
        e = t.field(w, "engine")
        required = t.field(w, "engine", "limit_read_required_rate")
        lmdb = t.field(w, "lmdb")
        req_vs_lmdb = None if required is None or lmdb is None or lmdb.med == 0 else required.med / lmdb.med
        lim_txt, vs = "—", "—"
        if required is not None:
            lim_txt = f"the work the design requires alone {rate(required)}{times(req_vs_lmdb, 'LMDB')}"
            vs = f"{percent(t.spread(w, 'engine', vs_limit('limit_read_required_rate')))} of the required work"
        t.add(f"{label} (100 B sensor)", t.rate_cell(w, "engine"),
              *(t.rate_cell(w, peer, e) for _, peer in PEERS), lim_txt, vs)
    scans = (("scan_forward_warm", "forward range scan, all records, block cache warm (holds the whole dataset)"),
             ("scan_forward", "forward range scan, all records, after reopening"),
             ("scan_forward_cold", "forward range scan, all records, after dropping the OS page cache"),
             ("scan_backward", "backward range scan, last 10%, after reopening"))
    for w, label in scans:
        if not any(t.has(w, s) for s in ("engine", "sqlite", "lmdb", "rocksdb")):
            continue
        e = t.field(w, "engine")
        lim = t.field(w, "engine", "limit_scan_rate")
        reused = t.field(w, "engine", "limit_scan_reused_rate")
        required = t.field(w, "engine", "limit_scan_required_rate")
        sqlite = t.field(w, "sqlite")
        # The work the design requires, with none of the engine's own, against SQLite.
        req_vs_sqlite = None if required is None or sqlite is None or sqlite.med == 0 else required.med / sqlite.med
        lim_txt = (f"the work the design requires alone {rate(required)}{times(req_vs_sqlite, 'SQLite')};"
                   f" zstd-6 decompress + copy out: new buffers {rate(lim)} · one reused buffer {rate(reused)}")
        vs = f"{percent(t.spread(w, 'engine', vs_limit('limit_scan_required_rate')))} of the required work"
        if w == "scan_forward_warm":
            # The cache holds every block decompressed: what is left is the per-record work.
            copy = t.field(w, "engine", "limit_scan_copy_rate")
            lim_txt = (f"the per-record work the design requires alone {rate(required)}"
                       f"{times(req_vs_sqlite, 'SQLite')}; copy out of blocks decompressed beforehand {rate(copy)}")
        if w == "scan_forward_cold":
            cold = t.field(w, "engine", "limit_cold_read_rate")
            read_bytes = t.field(w, "engine", "limit_cold_read_bytes")
            lim_txt = f"reading the engine's files ({size(read_bytes)}) after the drop {rate(cold)}; " + lim_txt
            vs = (f"{percent(t.spread(w, 'engine', vs_limit('limit_cold_read_rate', 'limit_scan_rate', overlap=True)))}"
                  " of the slower of reading and decompressing (new buffers)")
        t.add(f"{label} (100 B sensor)", t.rate_cell(w, "engine"),
              *(t.rate_cell(w, peer, e) for _, peer in PEERS), lim_txt, vs)
    w = "scan_forward"
    lim = t.field(w, "engine_all", "limit_scan_rate")
    t.add("forward range scan, all records in one query_all call, after reopening (100 B sensor)",
          t.rate_cell(w, "engine_all"), "—", "—", "—",
          f"zstd-6 decompress + copy out (new buffers) {rate(lim)}",
          f"{percent(t.spread(w, 'engine_all', vs_limit('limit_scan_rate')))} of it")
    t.add("backward range scan, last 10%, its dataset's open included (100 B sensor)",
          t.rate_cell("scan_backward", "engine_open"), "—", "—", "—", "—", "—")
    t.add("existence bitmap over the whole range (records/s)", t.rate_cell("exist", "engine"),
          "— (no such query)", "—", "—", "—", "—")
    t.add("journal range read, 10,000 record writes in one journal_query call, after reopening (records/s)",
          t.rate_cell("journal_range", "engine"), "— (no journal)", "—", "—", "—", "—")
    t.add("journal consumer drain, 100,000 sealed record writes, one poll and ack each (records/s)",
          t.rate_cell("journal_drain", "engine"), "— (no journal)", "—", "—", "—", "—")

    # Opening and inspecting: the time of one call.
    def per_call(w, store):
        s = t.spread(w, store, lambda b: None if not b.get("items_per_second") else 1e3 / b["items_per_second"])
        if s is None:
            return "—" if not t.has(w, store) else "error"
        text = f"{num(s.med)} ms"
        return text + (f" [{num(s.lo)}–{num(s.hi)}]" if len(s.values) > 1 else "")
    opens = (("engine", "newest record present"), ("engine_deleted", "newest record deleted"),
             ("engine_index", "about 1,600 index segment files"))
    for store, label in opens:
        t.add(f"writable open, inspect and close of a dataset of N records in one data segment, {label}",
              per_call("open_writable", store), "—", "—", "—", "—", "—")
        t.add(f"inspect of a read-only dataset of N records in one data segment, {label}",
              per_call("inspect_read_only", store), "—", "—", "—", "—", "—")

    # Sizes.
    for kind, label in KINDS:
        w = f"append_{kind}"
        e = t.field(w, "engine", "disk_bytes")
        cells = []
        for store in ("sqlite_1000", "lmdb_1000", "rocksdb_1000"):
            v = t.field(w, store, "disk_bytes")
            cells.append("—" if v is None else size(Spread([v.med])) + times(
                None if e is None or e.med == 0 else v.med / e.med))
        zstd_bytes = t.field(w, "engine", "limit_zstd_bytes")
        copy_bytes = t.field(w, "engine", "limit_copy_bytes")
        share = None if e is None or zstd_bytes is None or e.med == 0 else zstd_bytes.med / e.med
        t.add(f"bytes on disk after flush and close, {label}", "—" if e is None else size(Spread([e.med])),
              *cells, f"framed {size(copy_bytes)} · zstd-6 blocks {size(zstd_bytes)}",
              "—" if share is None else f"{100 * share:.0f}% of zstd-6 blocks' size is the engine's")
    return t


def load_note(path):
    """Mean and highest 1-minute load average of the samples in path."""
    if not path:
        return None
    try:
        with open(path, encoding="utf-8") as f:
            samples = [float(line.split()[0]) for line in f if line.strip()]
    except (OSError, ValueError, IndexError):
        return None
    if not samples:
        return None
    return (f"1-minute load average during the run (every 10 s, {len(samples)} samples; this program "
            f"adds about 1, RocksDB's background threads more): mean {statistics.mean(samples):.1f}, "
            f"highest {max(samples):.1f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("--cpu", default="unknown CPU")
    ap.add_argument("--nproc", default="?")
    ap.add_argument("--load", default="")
    args = ap.parse_args()
    context, results, errors = load(args.json)
    n = int(context.get("records", "0") or 0)
    t = build(results)
    reps = max((len(runs) for runs in results.values() if runs), default=1)

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
    if reps > 1:
        out.append(f"Throughput in records per second: median of {reps} runs, [lowest–highest] in the median's unit.")
    else:
        out.append("Throughput in records per second, one run each.")
    out.extend([
        "(r×) after a peer's throughput: engine ÷ peer (medians), above 1 the engine is faster; after a",
        "size: peer ÷ engine, above 1 the engine's files are smaller. Manual timing of the measured part only.",
        "Appends time the puts (and the last commit); flush and close are outside the timing, except for",
        "RocksDB, whose first cell times the puts plus the final flush (its memtables are compressed into",
        "table files there and on background threads) and whose second cell times the puts only.",
        "The engine's timed loop pays an msync (MS_SYNC, written back and waited for) of each data segment",
        "(64 MiB) and index segment (16 MiB) it rolls over from, plus the header msync and directory fsync",
        "of each new file: the sync rows count every msync/fsync/fdatasync/sync_file_range of the process",
        "inside the timed part, with the share of the engine's put time; SQLite (synchronous=OFF) and LMDB",
        "(MDB_NOSYNC) sync nothing there, RocksDB only on its background flush threads. The 4 GiB-segment",
        "row is the engine without roll-overs.",
        "The engine's limits are measured in the same iteration as the engine, before and after its run",
        "(rate = records over the mean of the two times); \"engine vs limit\" is the median [range] of the",
        "per-run ratios. Copy: framed records into a new mapped file (blocks reserved, pages faulted by",
        "the copy). zstd: 256 KiB blocks as the engine fills them, one compressor, or a new one per block",
        "as the engine makes. Scans: each block decompressed into a newly allocated buffer kept until the",
        "scan ends (as a cache holding the dataset keeps it), or into one reused buffer; each record copied",
        "out; for the warm scan, whose blocks all sit in the cache, only the copies out of blocks",
        "decompressed beforehand. \"The work the design requires\" of a scan, with none of the engine's",
        "own (no index walk, no dataset): each block decompressed by a new decompressor into a new buffer",
        "and put into a block cache; per record two lock round trips, the non-owning hot block's liveness",
        "check, the frame read, the owned copy and the access clock; and the index segments the range",
        "touches opened, which checks each of their entries (warm: per record only); the scan rows'",
        "\"engine vs limit\" is the engine against it. Cold scan: every file of the engine's dataset read",
        "sequentially with read() after dropping the OS page cache; as reading ahead and decompressing may",
        "overlap, the slower of the two bounds it. Point reads: \"the work the design requires\" with",
        "none of the engine's own: per read the lock, one probe of a 32-byte entry in a table of every",
        "record's address (the fewest accesses any index search makes), a block cache lookup, on a miss",
        "the whole block decompressed by a new decompressor into a new buffer and cached, the frame read,",
        "the owned copy and the clock; after reopening also the opening of the index segments. Every read",
        "hands the caller an owned copy of each record.",
        "Reads: \"warm\" reads everything once before the timed pass; \"after reopening\" opens the store",
        "anew (its cache empty, the OS page cache warm); \"after dropping the OS page cache\" writes",
        "/proc/sys/vm/drop_caches before opening. Point reads run in batches of 1,000 (LMDB: one read",
        "transaction per batch). Timestamps 1-1000 apart: the same records, uniform random gaps.",
        "Peers: SQLite WAL, synchronous=OFF, locking_mode=EXCLUSIVE, 4 KiB pages for one record per",
        "transaction and 16 KiB (100 B rows) or 32 KiB (4 KiB rows) in batches; LMDB MDB_NOSYNC|",
        "MDB_NOMETASYNC|MDB_WRITEMAP with MDB_APPEND; RocksDB with IncreaseParallelism, OptimizeLevelStyle-",
        "Compaction (256 MiB budget), zstd on every level (RocksDB's default level, 3; the engine uses 6),",
        "32 KiB blocks, 10-bit bloom filter, WriteBatch of 1,000 in the batched column. Every store gets a",
        "256 MiB cache.",
        "Sizes: blocks allocated on disk (peers: their batched variants). The engine reserves its files as",
        "they double (data up to 64 MiB, index up to 16 MiB per file), so its size includes the unused",
        "tail of its last files, and its index takes 32 bytes per record.",
    ])
    cold = context.get("cold_rows", "")
    if cold and cold != "run":
        out.append(f"The rows after dropping the OS page cache were not run ({cold.removeprefix('skipped: ')}).")
    note = load_note(args.load)
    if note:
        out.append(note + ".")
    if errors:
        out.append("")
        out.append("Errors:")
        out.extend(f"- {e}" for e in errors)
    print("\n".join(out))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
