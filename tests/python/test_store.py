"""The Store class: opening with a StoreConfig, the read-only modes beside a second process
holding the lock, the datasets it hands out and tracks, listing, inspecting and dropping,
the background tick, `with` blocks, and what a close or a release leaves behind."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import brenvale
import _brenvale_testhooks as hooks
from dataset_util import DatasetCase, caught, config, payload, python, thread_count

METHODS = [
    ("open", "($cls, data_dir, config=None)"), ("__enter__", "($self)"),
    ("__exit__", "($self, _exc_type, _exc_val, _exc_tb)"), ("close", "($self)"),
    ("create_dataset", "($self, name, dataset_type, *, data_segment_size=None, index_segment_size=None, "
                       "compress_level=None, index_continuous=False, initial_data_segment_size=None, "
                       "initial_index_segment_size=None, timestamp_units_per_seconds=0, enable_journal=False)"),
    ("open_dataset", "($self, name, dataset_type)"), ("open_dataset_by_identifier", "($self, identifier)"),
    ("open_queue", "($self, dataset_id)"), ("journal_latest_sequence", "($self)"),
    ("journal_read", "($self, sequence)"), ("journal_query", "($self, start_sequence, end_sequence)"),
    ("open_journal_queue", "($self)"), ("drop_dataset", "($self, name, dataset_type)"),
    ("tick_background_tasks", "($self)"), ("next_background_delay", "($self)"), ("get_dataset_names", "($self)"),
    ("get_dataset_types", "($self, name)"), ("inspect_dataset", "($self, name, dataset_type)"),
]
DOCS = {
    "__exit__": "Context manager exit \u9225?calls close().",
    "close": "Close the store completely.\n\nCloses all tracked datasets (release mmap handles) then drops the store.",
    "next_background_delay": "Return the delay in milliseconds until the next background task is due.\n\nDoes NOT "
                             "execute any tasks \u9225?reads a snapshot of the executor state.\nUseful for "
                             "scheduling the next `tick_background_tasks()` call.",
    "open_dataset_by_identifier": "Open an existing dataset by its Store-assigned numeric identifier.",
}
CLOSED = "invalid data: dataset sensor/raw is closed"
U64 = 2**64 - 1

# A second process that opens the store writable, writes, and holds the lock until its
# standard input closes; each line it reads names a timestamp to write.
HOLDER = """
import sys, brenvale
store = brenvale.Store.open(sys.argv[1])
ds = store.create_dataset("sensor", "raw", enable_journal=True)
ds.write(1, b"one")
print("locked", flush=True)
for line in sys.stdin:
    ds.write(int(line), b"more")
    print("wrote", flush=True)
"""

# A store released without close(): its background thread stops at once, the datasets and
# queues it handed out stay usable, and the directory lock goes with the last of them.
RELEASED = """
import gc, os, sys, brenvale
root = sys.argv[1]
threads = lambda: len(os.listdir("/proc/self/task"))
writable = brenvale.StoreConfig(read_only=False)
store = brenvale.Store.open(root)
assert threads() == 2, threads()
ds = store.create_dataset("sensor", "raw", enable_journal=True)
ds.write(1, b"one")
consumer = store.open_queue(ds.id).open_consumer("g")
journal = store.open_journal_queue().open_consumer("j")
del store
gc.collect()
print("threads", threads())
ds.write(2, b"two")
print("queue", consumer.poll(0), "journal", journal.poll(0)[0])
try:
    brenvale.Store.open(root, writable)
except brenvale.BrvlInvalidDataError as exc:
    print("while held:", exc)
del ds
try:
    brenvale.Store.open(root, writable)
except brenvale.BrvlInvalidDataError as exc:
    print("while a queue is held:", exc)
del consumer, journal
again = brenvale.Store.open(root, writable)
print("reopened", again.open_dataset("sensor", "raw").query_all(0, 9))
again.create_dataset("after", "raw").write(5, b"five")
"""


class StoreClassTest(unittest.TestCase):
    def test_class(self):
        cls = brenvale.Store
        self.assertEqual((cls.__module__, cls.__name__, cls.__text_signature__), ("builtins", "Store", "()"))
        self.assertFalse(cls.__doc__)
        self.assertEqual([k for k, v in vars(cls).items() if callable(v) and k not in ("__new__", "__doc__")
                          and (not k.startswith("__") or k in ("__enter__", "__exit__"))], [m for m, _ in METHODS])
        for name, signature in METHODS:
            self.assertEqual(getattr(cls, name).__text_signature__, signature, name)
        for name, doc in DOCS.items():
            self.assertEqual(getattr(cls, name).__doc__, doc, name)
        self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)
        self.assertEqual(str(caught(cls, 1)), "Store.__new__() takes 0 positional arguments but 1 was given")

    def test_a_store_made_by_the_constructor_is_closed(self):
        store = brenvale.Store()
        calls = [store.get_dataset_names, lambda: store.create_dataset("a", "b"), lambda: store.journal_read(1),
                 store.open_journal_queue, store.tick_background_tasks, lambda: store.inspect_dataset("a", "b")]
        for call in calls:
            exc = caught(call)
            self.assertEqual((type(exc), str(exc)), (RuntimeError, "Store is closed"))
        self.assertEqual(str(caught(store.close)), "Store is already closed")
        exc = caught(store.open_queue, 1)
        self.assertEqual((type(exc), str(exc)), (ValueError, "dataset_id 1 not found"))
        # Arguments are converted before the closed check.
        self.assertEqual(str(caught(store.get_dataset_types, 5)),
                         "argument 'name': 'int' object is not an instance of 'str'")

        def with_block():
            with store as entered:
                self.assertIs(entered, store)

        self.assertEqual(str(caught(with_block)), "Store is already closed")


class OpenTest(DatasetCase):
    def fresh_dir(self):
        path = tempfile.mkdtemp(prefix="brvl-py-store-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def test_open_arguments_and_config(self):
        root = self.fresh_dir()
        for call, cls, text in [
            (lambda: brenvale.Store.open(5), TypeError,
             "argument 'data_dir': 'int' object is not an instance of 'str'"),
            (lambda: brenvale.Store.open(root + "/store\0/x"), ValueError, "embedded null byte"),
            (lambda: brenvale.Store.open(root, 5), TypeError,
             "argument 'config': 'int' object is not an instance of 'StoreConfig'"),
            (lambda: brenvale.Store.open(root, brenvale.StoreConfig(data_segment_size=0)),
             brenvale.BrvlInvalidDataError, "invalid data: data_segment_size must be > 0"),
            (lambda: brenvale.Store.open(root, brenvale.StoreConfig(read_only=True)).create_dataset("a", "b"),
             brenvale.BrvlInvalidDataError, "invalid data: read-only store cannot create dataset"),
        ]:
            exc = caught(call)
            self.assertEqual((type(exc), str(exc)), (cls, text))
        self.assertEqual(os.listdir(root), [])  # a refused path or configuration touches nothing
        # The configuration's sizes and level reach the datasets; a thread only when asked for.
        before = thread_count()
        with brenvale.Store.open(data_dir=os.path.join(root, "a", "b"),
                                 config=brenvale.StoreConfig(data_segment_size=1048576, compress_level=12,
                                                             enable_journal=False)) as store:
            self.assertEqual(thread_count(), before + 1)
            info = store.create_dataset("sensor", "raw", enable_journal=True).inspect()
            self.assertEqual((info.info.data_segment_size, info.info.compress_level, info.state.has_journal),
                             (1048576, 9, False))
            exc = caught(store.journal_latest_sequence)
            self.assertEqual((type(exc), str(exc)), (brenvale.BrvlNotFoundError, "not found: journal is disabled"))
        self.assertEqual(thread_count(), before)
        self.assertEqual(sorted(os.listdir(os.path.join(root, "a", "b"))), [".lock", "max_identifier", "sensor"])
        with brenvale.Store.open(root, None) as default:
            self.assertEqual(thread_count(), before + 1)
            self.assertIsNone(default.journal_latest_sequence())
        self.assertEqual(thread_count(), before)

    def test_read_only_modes_beside_a_writer_process(self):
        root = self.fresh_dir()
        holder = python(HOLDER, root, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), "locked\n")
            exc = caught(brenvale.Store.open, root, brenvale.StoreConfig(read_only=False))
            self.assertEqual((type(exc), str(exc)),
                             (brenvale.BrvlInvalidDataError, "invalid data: store is already locked for writing"))
            latest = 1  # the writer's newest timestamp; its journal holds the creation and each write
            for mode in (None, True):
                with self.subTest(read_only=mode), brenvale.Store.open(root, config(read_only=mode)) as store:
                    ds = store.open_dataset("sensor", "raw")
                    self.assertEqual((ds.read(1), ds.inspect().state.read_only), ((1, b"one"), True))
                    self.assertEqual(str(caught(ds.write, 2, b"x")), "Dataset is read-only")
                    self.assertEqual([s for s, _ in store.journal_query(1, 10)], list(range(1, latest + 2)))
                    self.assertEqual(store.journal_latest_sequence(), latest + 1)
                    # The writer goes on: the reader's dataset and journal follow it.
                    for _ in range(2):
                        latest += 1
                        holder.stdin.write(f"{latest}\n")
                        holder.stdin.flush()
                        self.assertEqual(holder.stdout.readline(), "wrote\n")
                        self.assertEqual((ds.latest_timestamp, store.journal_latest_sequence()), (latest, latest + 1))
                        self.assertEqual([s for s, _ in store.journal_query(1, 99)], list(range(1, latest + 2)))
                        self.assertIsNotNone(store.journal_read(1))
                    for call, what in ((lambda: store.create_dataset("a", "b"), "cannot create dataset"),
                                       (lambda: store.drop_dataset("sensor", "raw"), "cannot drop dataset"),
                                       (store.open_journal_queue, "cannot open journal queue"),
                                       (store.tick_background_tasks, "has no background tasks"),
                                       (store.next_background_delay, "has no background tasks")):
                        exc = caught(call)
                        self.assertEqual((type(exc), str(exc)),
                                         (brenvale.BrvlInvalidDataError, "invalid data: read-only store " + what))
                    self.assertIs(type(caught(store.open_queue, ds.id)), brenvale.BrvlInvalidDataError)
            missing = os.path.join(root, "missing")
            with brenvale.Store.open(missing, config(read_only=True)) as store:
                self.assertEqual((store.journal_read(1), store.journal_query(1, 9), store.journal_latest_sequence()),
                                 (None, [], None))
                exc = caught(store.get_dataset_names)  # nothing to list is no empty store
                self.assertEqual((type(exc), str(exc)),
                                 (brenvale.BrvlIoError, "I/O error: No such file or directory (os error 2)"))
            self.assertFalse(os.path.exists(missing))
        finally:
            holder.stdin.close()
            self.assertEqual(holder.wait(), 0)
        with brenvale.Store.open(root) as store:  # the writer is gone: writable again
            store.open_dataset("sensor", "raw").write(2, b"two")
            self.assertEqual(store.next_background_delay() >= 0, True)

    def test_a_store_released_without_close(self):
        root = self.fresh_dir()
        child = python(RELEASED, root, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = child.communicate()
        self.assertEqual(child.returncode, 0, err)
        locked = "invalid data: store is already locked for writing"
        self.assertEqual(out.splitlines(), [
            "threads 1", "queue (2, b'two') journal 3", f"while held: {locked}", f"while a queue is held: {locked}",
            "reopened [(1, b'one'), (2, b'two')]"])
        with brenvale.Store.open(root, config(read_only=False)) as store:
            self.assertEqual(store.get_dataset_names(), ["after", "sensor"])
            self.assertEqual(store.open_dataset("after", "raw").read(5), (5, b"five"))


class DatasetsTest(DatasetCase):
    def test_binding_ids(self):
        first, second = self.make("a"), self.make("b")
        self.assertEqual([(d.id, d.identifier) for d in (first, second)], [(1, 1), (2, 2)])
        self.assertIs(type(caught(self.store.open_dataset, "nope", "raw")), brenvale.BrvlNotFoundError)
        again = self.store.open_dataset("a", "raw")  # a failed open used no id
        by_identifier = self.store.open_dataset_by_identifier(identifier=2)
        self.assertEqual([(d.id, d.identifier) for d in (again, by_identifier)], [(3, 1), (4, 2)])
        again.write(1, b"shared")  # two objects, one engine dataset
        self.assertEqual(first.read(1), (1, b"shared"))
        queue = self.store.open_queue(dataset_id=1)  # open while the object lives
        self.assertEqual(repr(queue), "DatasetQueue()")
        exc = caught(self.store.open_queue, 3)
        self.assertEqual((type(exc), str(exc)),
                         (brenvale.BrvlQueueAlreadyOpenError, "queue already open: queue already open for dataset a"))
        self.assertEqual(str(caught(self.store.open_queue, 5)), "dataset_id 5 not found")
        for identifier, cls, text in ((0, brenvale.BrvlInvalidDataError,
                                       "invalid data: dataset identifier must be > 0"),
                                      (99, brenvale.BrvlNotFoundError, "not found: dataset identifier 99")):
            exc = caught(self.store.open_dataset_by_identifier, identifier)
            self.assertEqual((type(exc), str(exc)), (cls, text))
        self.assertEqual(self.make("c").id, 5)
        self.store.close()
        self.assertEqual((first.id, str(caught(first.read, 1))), (1, "invalid data: dataset a/raw is closed"))
        self.assertEqual(str(caught(self.store.open_queue, 1)), "dataset_id 1 not found")

    def test_create_options(self):
        store = self.open_store(self.root + "-sized", data_segment_size=1048576)
        self.addCleanup(shutil.rmtree, self.root + "-sized", True)
        info = store.create_dataset("inherit", "raw").inspect().info
        self.assertEqual((info.data_segment_size, info.index_segment_size, info.compress_level, info.compress_type,
                          info.retention_window, info.enable_journal), (1048576, 16777216, 6, 0, 0, False))
        info = store.create_dataset("given", "raw", data_segment_size=None, index_segment_size=65536,
                                    compress_level=200, index_continuous=True, initial_data_segment_size=4096,
                                    initial_index_segment_size=None, timestamp_units_per_seconds=1000,
                                    enable_journal=True).inspect().info
        self.assertEqual((info.data_segment_size, info.index_segment_size, info.compress_level,
                          info.index_continuous, info.initial_data_segment_size, info.initial_index_segment_size,
                          info.timestamp_units_per_seconds, info.enable_journal),
                         (1048576, 65536, 9, 1, 4096, 16384, 1000, True))
        cases = [
            ({"compress_level": 256}, OverflowError, "out of range integral type conversion attempted"),
            ({"compress_level": -1}, OverflowError, "out of range integral type conversion attempted"),
            ({"index_continuous": None}, TypeError, "argument 'index_continuous': 'None' is not an instance of 'bool'"),
            ({"timestamp_units_per_seconds": None}, TypeError,
             "argument 'timestamp_units_per_seconds': 'NoneType' object cannot be interpreted as an integer"),
            ({"data_segment_size": 5}, brenvale.BrvlInvalidDataError,
             "invalid data: initial_data_segment_size must be <= data_segment_size, got 262144 > 5"),
        ]
        for options, cls, text in cases:
            with self.subTest(options=options):
                exc = caught(store.create_dataset, "x", "raw", **options)
                self.assertEqual((type(exc), str(exc)), (cls, text))
        exc = caught(store.create_dataset, "x", "raw", 1)
        self.assertEqual(str(exc), "Store.create_dataset() takes 2 positional arguments but 3 were given")
        for name, dataset_type, text in (("a b", "raw", "dataset name"), ("a", "", "dataset type")):
            self.assertEqual(str(caught(store.create_dataset, name, dataset_type)),
                             f"invalid data: {text} must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes")
        self.assertEqual(str(caught(store.create_dataset, ".journal", "logs")),
                         "invalid data: journal dataset is reserved")
        self.assertEqual(str(caught(store.create_dataset, "given", "raw")),
                         "already exists: dataset given/raw is already open")
        # The failed creates used no identifier; the next one is 3.
        self.assertEqual(store.create_dataset("third", "raw").identifier, 3)

    def test_listing_inspecting_and_dropping(self):
        for name, dataset_type in (("b", "x"), ("a", "z"), ("a", "y")):
            self.make(name, dataset_type, records=[7])
        open(os.path.join(self.root, "stray.file"), "w").close()
        os.mkdir(os.path.join(self.root, "not.a.name"))
        self.assertEqual(self.store.get_dataset_names(), ["a", "b"])
        self.assertEqual((self.store.get_dataset_types("a"), self.store.get_dataset_types(name="none")),
                         (["y", "z"], []))
        self.assertIs(type(caught(self.store.get_dataset_types, "a.b")), brenvale.BrvlInvalidDataError)
        self.store.close()
        store = self.open_store()
        # inspect opens the dataset without handing it out: close() does not close it.
        result = store.inspect_dataset("a", dataset_type="y")
        self.assertEqual((result.info.identifier, result.state.total_record_count), (3, 1))
        ay = store.open_dataset("a", "y")
        self.assertEqual((ay.id, ay.read(7)), (1, (7, payload(7))))
        store.drop_dataset("a", "y")
        self.assertEqual(str(caught(ay.read, 7)), "invalid data: dataset a/y is closed")
        self.assertEqual(sorted(os.listdir(os.path.join(self.root, "a"))), ["z"])
        exc = caught(store.drop_dataset, "a", "y")
        self.assertEqual((type(exc), str(exc)), (brenvale.BrvlNotFoundError, "not found: dataset identifier not "
                                                 f"found at {os.path.join(self.root, 'a', 'y', 'identifier')}"))
        self.assertEqual(store.create_dataset("a", "y").identifier, 4)  # identifiers are never reused
        store.close()  # and closes the dropped dataset's object quietly

    def test_background_ticks(self):
        store = self.open_store(self.root + "-tick", flush_interval=0)
        self.addCleanup(shutil.rmtree, self.root + "-tick", True)
        ds = store.create_dataset("sensor", "raw")
        ds.write(1, b"x")
        executed, delay = store.tick_background_tasks()
        self.assertGreaterEqual(executed, 1)  # the flush is due at once
        self.assertEqual((type(executed), type(delay)), (int, int))
        self.assertIsInstance(store.next_background_delay(), int)
        # The tick beside a running thread; the longest intervals do not overflow.
        with brenvale.Store.open(self.root + "-long", brenvale.StoreConfig(
                flush_interval=U64, idle_timeout=U64, cache_idle_timeout=U64)) as long_store:
            self.addCleanup(shutil.rmtree, self.root + "-long", True)
            self.assertLessEqual(long_store.next_background_delay(), 86_400_000)
            self.assertEqual(type(long_store.tick_background_tasks()), tuple)
        # Milliseconds are whole seconds × 1000 plus the whole milliseconds of the rest,
        # saturating at 2^64 - 1.
        for seconds, nanos, ms in ((0, 999_999, 0), (1, 999_999_999, 1999), (0, -5, 0),
                                   (U64 // 1000, 615_999_999, U64), (U64 // 1000, 616_000_000, U64),
                                   (U64 // 1000 + 1, 0, U64), (U64, 0, U64)):
            self.assertEqual(hooks.delay_ms(seconds, nanos), ms, (seconds, nanos))
        self.assertEqual(hooks.delay_ms(U64 // 1000, 614_000_000), U64 - 1)

    def test_with_blocks(self):
        with brenvale.Store.open(self.root + "-with") as store:
            self.addCleanup(shutil.rmtree, self.root + "-with", True)
            ds = store.create_dataset("sensor", "raw")
        self.assertEqual(str(caught(store.get_dataset_names)), "Store is closed")
        self.assertEqual(str(caught(ds.read, 1)), CLOSED)

        def closed_in_body():
            with brenvale.Store.open(self.root + "-with") as inner:
                inner.close()

        self.assertEqual(str(caught(closed_in_body)), "Store is already closed")

        def raising_body():
            with brenvale.Store.open(self.root + "-with") as inner:
                self.opened = inner
                raise KeyError("from the body")

        self.assertIs(type(caught(raising_body)), KeyError)  # never suppressed
        self.assertEqual(str(caught(self.opened.get_dataset_names)), "Store is closed")
        self.assertEqual(str(caught(self.store.__exit__, None, None)),
                         "Store.__exit__() missing 1 required positional argument: '_exc_tb'")


class ClosedWhileInUseTest(DatasetCase):
    def test_everything_handed_out_fails_with_its_own_error(self):
        ds = self.make(records=[1, 2, 3], enable_journal=True)
        other = self.store.open_dataset("sensor", "raw")
        it, lengths = ds.query(0, 10), ds.query_length(0, 10)
        self.assertEqual(next(it), (1, b"r1"))
        queue = self.store.open_queue(ds.id)
        consumer = queue.open_consumer("g")
        journal = self.store.open_journal_queue()
        journal_consumer = journal.open_consumer("j")
        # A journal poll waiting in a thread is woken by the close; a dataset poll sees it at
        # its deadline (the dataset's close does not wake it).
        journal_waiter, journal_outcome = self.in_thread(journal_consumer.poll, 120_000)
        queue_waiter, queue_outcome = self.in_thread(consumer.poll, 300)
        time.sleep(0.05)
        self.store.close()
        self.joined(journal_waiter, lambda: None)
        queue_waiter.join()
        self.assertEqual([(type(o), str(o)) for o in journal_outcome],
                         [(brenvale.BrvlQueueClosedError, "queue closed: journal queue is closed")])
        # A poll caught inside its attempt by the close meets the closed dataset instead.
        self.assertIn([(type(o), str(o)) for o in queue_outcome],
                      ([(brenvale.BrvlQueueClosedError, "queue closed: queue consumer is closed")],
                       [(brenvale.BrvlInvalidDataError, CLOSED)]))
        checks = [
            (lambda: ds.write(4, b"x"), brenvale.BrvlInvalidDataError, CLOSED),
            (lambda: other.read(1), brenvale.BrvlInvalidDataError, CLOSED),
            (lambda: next(it), RuntimeError, CLOSED),
            (lengths.collect_all, RuntimeError, CLOSED),
            (lambda: queue.push(b"x"), brenvale.BrvlQueueClosedError, "queue closed: queue is closed"),
            (lambda: consumer.poll(0), brenvale.BrvlQueueClosedError, "queue closed: queue consumer is closed"),
            (lambda: journal_consumer.poll(0), brenvale.BrvlQueueClosedError, "queue closed: journal queue is closed"),
            (lambda: journal_consumer.ack(1), brenvale.BrvlQueueClosedError, "queue closed: journal queue is closed"),
            (lambda: journal.open_consumer("k"), brenvale.BrvlQueueClosedError,
             "queue closed: journal queue is closed"),
            (self.store.open_journal_queue, RuntimeError, "Store is closed"),
            (lambda: self.store.open_queue(ds.id), ValueError, "dataset_id 1 not found"),
        ]
        for call, cls, text in checks:
            with self.subTest(text=text):
                exc = caught(call)
                self.assertEqual((type(exc), str(exc)), (cls, text))
        self.assertEqual((ds.id, other.id, ds.latest_timestamp), (1, 2, 3))
        self.assertIsNone(journal.close())


if __name__ == "__main__":
    unittest.main()
