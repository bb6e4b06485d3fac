"""Dataset queues from Python: DatasetQueue, DatasetQueueConsumer, their inspect results,
polls blocked in one thread and woken from another, redelivery, and wake callbacks."""

import gc
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
import weakref

import brenvale
from dataset_util import DEADLINE_MS, JOIN_S, DatasetCase, Unraisable, caught, python

I64_MIN = -2**63

QUEUE_METHODS = [
    ("push", "($self, data)"),
    ("open_consumer", "($self, group_name, running_expired_seconds=900, max_retry_count=3)"),
    ("get_consumer_group_names", "($self)"), ("close", "($self)"), ("drop_consumer", "($self, group_name)"),
]
CONSUMER_METHODS = [
    ("poll", "($self, timeout_ms)"), ("ack", "($self, timestamp)"), ("flush", "($self)"), ("close", "($self)"),
    ("inspect", "($self)"), ("poll_callback", "($self, callback)"),
]
CLASS_DOCS = {
    "DatasetQueue": "Python wrapper for DatasetQueue.\n\nMaintains an open queue on a dataset, allowing push and "
                    "consumer\ngroup operations.",
    "DatasetQueueConsumer": "Python wrapper for DatasetQueueConsumer.\n\nPolls for new records from a consumer "
                            "group with configurable timeout.\nMultiple consumers for the same group share progress "
                            "via mmap.",
}
POLL_DOC = ("Poll for the next record.\n\nReturns the next unacked record as `(timestamp, data)`, or `None`\nif the "
            "timeout expires with no data available.\n\nArgs:\n    timeout_ms: Maximum wait time in milliseconds. "
            "Use 0 for\n        non-blocking poll (returns immediately if no data).\n\nRaises:\n    "
            "BrvlQueueClosedError: Queue has been closed.")
CLOSED = "queue closed: queue consumer is closed"


def pending(consumer):
    return [(e.timestamp, e.status, e.retry_count) for e in consumer.inspect().state.pending_entries]


class QueueCase(DatasetCase):
    def open(self, name="sensor", records=()):
        ds = self.make(name, records=records)
        return ds, self.store.open_queue(ds.id)


class ClassTest(unittest.TestCase):
    def test_classes(self):
        for name, methods in (("DatasetQueue", QUEUE_METHODS), ("DatasetQueueConsumer", CONSUMER_METHODS)):
            cls = getattr(brenvale, name)
            with self.subTest(cls=name):
                self.assertEqual((cls.__module__, cls.__qualname__, cls.__doc__), ("builtins", name, CLASS_DOCS[name]))
                self.assertEqual([k for k, v in vars(cls).items() if callable(v) and not k.startswith("__")],
                                 [m for m, _ in methods])
                for method, signature in methods:
                    self.assertEqual(getattr(cls, method).__text_signature__, signature, method)
                self.assertEqual(str(caught(cls)), f"cannot create 'builtins.{name}' instances")
                self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)
        self.assertEqual(brenvale.DatasetQueueConsumer.poll.__doc__, POLL_DOC)


class QueueTest(QueueCase):
    def test_push_poll_ack_inspect(self):
        ds, q = self.open(records=[5])
        c = q.open_consumer("g")
        self.assertEqual((repr(q), repr(c), c.poll(0)), ("DatasetQueue()", "DatasetQueueConsumer()", None))
        result = c.inspect()
        info, state = result.info, result.state
        self.assertEqual((info.group_name, info.running_expired_seconds, info.max_retry_count), ("g", 900, 3))
        self.assertEqual((state.processed_ts, state.pending_entries), (5, []))  # starts after the latest record
        self.assertIsNot(result.info, info)
        self.assertEqual((q.push(b"a"), q.push(bytearray(b"b")), q.push([99, 0])), (6, 7, 8))
        ds.write(20, b"direct")  # any write reaches the group, not only a push
        before = int(time.time())
        self.assertEqual([c.poll(0) for _ in range(5)], [(6, b"a"), (7, b"b"), (8, b"c\x00"), (20, b"direct"), None])
        after = int(time.time())
        entries = c.inspect().state.pending_entries
        self.assertEqual([(e.timestamp, e.status, e.retry_count) for e in entries], [(t, 0, 0) for t in (6, 7, 8, 20)])
        self.assertTrue(all(before <= e.start_time <= after for e in entries))
        c.ack(7)  # done, and kept until the entries before it are done
        self.assertEqual((pending(c), c.inspect().state.processed_ts),
                         ([(6, 0, 0), (7, 1, 0), (8, 0, 0), (20, 0, 0)], 5))
        c.ack(timestamp=6)
        self.assertEqual((pending(c), c.inspect().state.processed_ts), ([(8, 0, 0), (20, 0, 0)], 7))
        self.assertEqual(state.pending_entries, [])  # an earlier snapshot never changes
        self.assertEqual(str(caught(c.ack, 7)), "not found: pending entry for timestamp 7")
        self.assertIsNone(c.flush())
        self.assertEqual(ds.inspect().state.queue_consumer_groups, 1)

        fresh = self.open("empty")[1].open_consumer("g", 65535, 255)
        result = fresh.inspect()
        self.assertEqual((result.info.running_expired_seconds, result.info.max_retry_count), (65535, 255))
        self.assertEqual(result.state.processed_ts, I64_MIN)
        c.close()
        self.assertEqual((result.info.group_name, result.state.processed_ts), ("g", I64_MIN))  # outlives its group

    def test_groups_handles_names_and_drops(self):
        ds, q = self.open()
        self.assertEqual(q.get_consumer_group_names(), [])
        a1, a2, b = q.open_consumer("a"), q.open_consumer("a"), q.open_consumer("b_-9Z")
        self.assertEqual(q.get_consumer_group_names(), ["a", "b_-9Z"])
        q.push(b"1")
        q.push(b"2")
        # Handles of one group share its progress; groups are independent.
        self.assertEqual((a1.poll(0), a2.poll(0), a1.poll(0), b.poll(0)), ((1, b"1"), (2, b"2"), None, (1, b"1")))
        a2.ack(1)
        self.assertEqual(pending(a1), [(2, 0, 0)])
        q.drop_consumer("a")
        self.assertEqual(q.get_consumer_group_names(), ["b_-9Z"])
        for call in (lambda: a1.poll(0), a2.inspect, lambda: a1.poll_callback(print)):
            self.assertEqual(str(caught(call)), CLOSED)
        again = q.open_consumer("a")  # a fresh group after the latest record
        self.assertEqual((again.poll(0), again.inspect().state.processed_ts), (None, 2))
        b.close()
        b.close()  # a second close does nothing
        self.assertEqual(q.get_consumer_group_names(), ["a", "b_-9Z"])  # a closed group keeps its file
        self.assertEqual(q.open_consumer("b_-9Z").poll(0), (1, b"1"))  # its entry in flight was released

    def test_errors(self):
        ds, q = self.open()
        q.open_consumer("g")
        invalid_name = ("invalid data: queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 "
                        "bytes")
        cases = [
            (lambda: q.open_consumer("g", 900, 4), brenvale.BrvlInvalidDataError,
             "invalid data: consumer group g is already open with a different config"),
            (lambda: q.open_consumer("h", 65536, 256), brenvale.BrvlInvalidDataError,
             "invalid data: running_expired_seconds exceeds u16::MAX: 65536"),
            (lambda: q.open_consumer("h", max_retry_count=256), brenvale.BrvlInvalidDataError,
             "invalid data: max_retry_count exceeds u8::MAX: 256"),
            (lambda: q.open_consumer("h", max_retry_count=65536), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda: q.open_consumer("h", -1), OverflowError, "can't convert negative int to unsigned"),
            (lambda: q.open_consumer("a b"), brenvale.BrvlInvalidDataError, invalid_name),
            (lambda: q.open_consumer(""), brenvale.BrvlInvalidDataError, invalid_name),
            (lambda: q.open_consumer("x" * 256), brenvale.BrvlInvalidDataError, invalid_name),
            (lambda: q.open_consumer(b"g"), TypeError, "argument 'group_name': 'bytes' object is not an instance of "
                                                       "'str'"),
            (lambda: q.open_consumer(), TypeError,
             "DatasetQueue.open_consumer() missing 1 required positional argument: 'group_name'"),
            (lambda: q.open_consumer("g", 1, 2, 3), TypeError,
             "DatasetQueue.open_consumer() takes from 1 to 3 positional arguments but 4 were given"),
            (lambda: q.drop_consumer("nope"), brenvale.BrvlConsumerGroupNotFoundError,
             "consumer group not found: nope"),
            (lambda: q.push("text"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
            (lambda: q.push([256]), OverflowError, "out of range integral type conversion attempted"),
            (lambda: self.store.open_queue(ds.id), brenvale.BrvlQueueAlreadyOpenError,
             "queue already open: queue already open for dataset sensor"),
        ]
        for call, cls, text in cases:
            with self.subTest(text=text):
                exc = caught(call)
                self.assertEqual((type(exc), str(exc)), (cls, text))
        self.assertEqual(q.open_consumer("x" * 255).inspect().info.group_name, "x" * 255)
        c = q.open_consumer("g")
        for args, cls in (((-1,), OverflowError), ((2**64,), OverflowError), (("1",), TypeError), ((), TypeError)):
            self.assertIs(type(caught(c.poll, *args)), cls, args)
        self.assertIs(type(caught(c.ack, 2**63)), OverflowError)
        self.make("ro", records=[1])
        ro_store = self.open_store(read_only=True)
        exc = caught(ro_store.open_queue, ro_store.open_dataset("ro", "raw").id)
        self.assertEqual((type(exc), str(exc)), (brenvale.BrvlInvalidDataError,
                                                 "invalid data: read-only dataset cannot open queue"))

    def test_closes(self):
        ds, q = self.open()
        c = q.open_consumer("g")
        q.close()
        for call in (lambda: c.poll(0), c.flush, c.inspect, lambda: c.ack(1)):
            self.assertEqual(str(caught(call)), CLOSED)
        for call in (lambda: q.push(b"x"), lambda: q.open_consumer("g")):
            exc = caught(call)
            self.assertEqual((type(exc), str(exc)), (brenvale.BrvlQueueClosedError, "queue closed: queue is closed"))
        q2 = self.store.open_queue(ds.id)  # a closed queue can be opened again
        c2 = q2.open_consumer("g")
        self.store.close()  # closing the dataset closes its queue
        self.assertEqual(str(caught(c2.poll, 10)), CLOSED)

    def test_pending_full_at_226(self):
        ds, q = self.open()
        c = q.open_consumer("g")
        for i in range(227):
            q.push(b"%d" % i)
        self.assertEqual([c.poll(0)[0] for _ in range(226)], list(range(1, 227)))
        exc = caught(c.poll, 0)
        self.assertIs(type(exc), brenvale.BrvlPendingFullError)
        self.assertTrue(str(exc).startswith("pending entries full: ") and str(exc).endswith("(226 entries)"), exc)
        self.assertEqual(len(c.inspect().state.pending_entries), 226)
        c.ack(1)
        self.assertEqual(c.poll(0), (227, b"226"))

    def test_redelivery_after_expiry(self):
        # Entries expire by the wall clock in whole seconds: a poll that waits 2.5 s finds the
        # entry handed out at its start expired in its last attempt.
        ds, q = self.open()
        c = q.open_consumer("g", running_expired_seconds=1, max_retry_count=1)
        q.push(b"once")
        self.assertEqual(c.poll(0), (1, b"once"))
        self.assertEqual(c.poll(2500), (1, b"once"))
        self.assertEqual(pending(c), [(1, 0, 1)])
        # The retry limit is reached: the entry is finished without a third hand-out.
        self.assertIsNone(c.poll(2500))
        self.assertEqual((pending(c), c.inspect().state.processed_ts), ([], 1))


class ThreadTest(QueueCase):
    def test_a_blocked_poll_wakes_on_a_push_from_another_thread(self):
        ds, q = self.open()
        c = q.open_consumer("g")
        for timeout in (DEADLINE_MS, 2**64 - 1):  # the largest timeout does not overflow into no wait
            with self.subTest(timeout=timeout):
                thread, outcome = self.in_thread(c.poll, timeout)
                time.sleep(0.05)  # usually blocked by now; a poll that starts later finds the record at once
                # This thread runs while the other waits, and its push ends the wait.
                ts = q.push(b"wake %d" % timeout)
                self.joined(thread, c.close)
                self.assertEqual(outcome, [(ts, b"wake %d" % timeout)])
                c.ack(ts)
        # A producer thread's write wakes it as well.
        thread, outcome = self.in_thread(c.poll, DEADLINE_MS)
        producer, _ = self.in_thread(ds.write, 100, b"from a thread")
        producer.join()
        self.joined(thread, c.close)
        self.assertEqual(outcome, [(100, b"from a thread")])

    def test_closing_wakes_a_blocked_poll(self):
        ds, q = self.open()
        closers = [lambda c: c.close(), lambda c: q.drop_consumer("g"), lambda c: q.close()]
        for close in closers:
            c = q.open_consumer("g")
            thread, outcome = self.in_thread(c.poll, DEADLINE_MS)
            time.sleep(0.05)
            close(c)
            self.joined(thread, lambda: None)
            self.assertIs(type(outcome[0]), brenvale.BrvlQueueClosedError)
            self.assertEqual(str(outcome[0]), CLOSED)

    def test_consumers_and_a_producer_in_threads(self):
        ds, q = self.open()
        total = 300
        shared = [q.open_consumer("shared"), q.open_consumer("shared")]
        other = q.open_consumer("other")
        got = {"shared": [], "other": []}
        done = threading.Condition()

        def consume(consumer, group):
            while True:
                try:
                    item = consumer.poll(DEADLINE_MS)  # every write wakes every group's pollers
                except brenvale.BrvlQueueClosedError:
                    return "closed"
                if item is None:
                    continue
                consumer.ack(item[0])
                with done:
                    got[group].append(item)
                    done.notify_all()

        threads = [self.in_thread(consume, c, "shared")[0] for c in shared]
        threads.append(self.in_thread(consume, other, "other")[0])
        producer, _ = self.in_thread(lambda: [q.push(b"p%d" % i) for i in range(total)])
        producer.join()
        with done:
            finished = done.wait_for(lambda: sum(map(len, got.values())) == 2 * total, JOIN_S)
        q.close()
        for thread in threads:
            thread.join()
        self.assertTrue(finished)
        expected = [(i + 1, b"p%d" % i) for i in range(total)]
        # Each record reaches each group exactly once, whichever handle of the group took it.
        self.assertEqual((sorted(got["shared"]), got["other"]), (expected, expected))


# A child blocked in poll(20000) on a dataset or journal consumer, interrupted by SIGINT:
# it reports the exception, how long the poll lasted and, after one write, its next record.
INTERRUPTED_POLL = """
import sys, time, brenvale
store = brenvale.Store.open(sys.argv[1], brenvale.StoreConfig(enable_background_thread=False))
ds = store.create_dataset("s", "raw", enable_journal=True)
queue = store.open_queue(ds.id) if sys.argv[2] == "dataset" else store.open_journal_queue()
consumer = queue.open_consumer("g")
try:
    start = time.monotonic()
    print("ready", flush=True)
    consumer.poll(20000)
except BaseException as exc:
    elapsed = time.monotonic() - start
    ds.write(1, b"one")
    print(type(exc).__name__, elapsed < 10, consumer.poll(0)[0], flush=True)
"""


class InterruptTest(QueueCase):
    def test_ctrl_c_ends_a_blocked_poll(self):
        for kind, first in (("dataset", 1), ("journal", 2)):  # journal sequence 1: the creation
            with self.subTest(kind=kind):
                child = python(INTERRUPTED_POLL, os.path.join(self.root, kind), kind, stdout=subprocess.PIPE)
                self.assertEqual(child.stdout.readline(), "ready\n")
                time.sleep(0.3)
                child.send_signal(signal.SIGINT)
                out, _ = child.communicate(timeout=60)
                self.assertEqual(out, f"KeyboardInterrupt True {first}\n")


class CallbackTest(QueueCase):
    def test_registration_rules(self):
        ds, q = self.open()
        c = q.open_consumer("g")
        exc = caught(c.poll_callback, 42)
        self.assertEqual((type(exc), str(exc)), (TypeError, "poll_callback requires a callable or None"))
        self.assertIsNone(c.poll_callback(None))  # nothing registered: still fine
        calls = []
        c.poll_callback(lambda: calls.append(1))
        exc = caught(c.poll_callback, print)
        self.assertEqual((type(exc), str(exc)),
                         (brenvale.BrvlInvalidDataError, "invalid data: queue poll callback is already registered"))
        q.push(b"x")
        c.poll_callback(callback=None)
        q.push(b"y")
        self.assertEqual(calls, [1])
        # A write that does not make a new latest record wakes nothing.
        c.poll_callback(lambda: calls.append(2))
        ds.append(2, b"+")
        ds.write(2, b"again")
        ds.write(1, b"corrected")
        ds.delete(1)
        self.assertEqual(calls, [1])

    def test_callbacks_run_on_the_writing_thread_and_errors_stay_there(self):
        ds, q = self.open()
        raising, quiet = q.open_consumer("raising"), q.open_consumer("quiet")
        threads = []

        def fail():
            raise ValueError("from the callback")

        raising.poll_callback(fail)
        quiet.poll_callback(lambda: threads.append(threading.get_ident()))
        with Unraisable() as hook:
            self.assertEqual(q.push(b"a"), 1)  # the writer completes normally
            producer, outcome = self.in_thread(q.push, b"b")
            producer.join()
        self.assertEqual(outcome, [2])
        self.assertEqual(threads, [threading.get_ident(), producer.ident])
        self.assertEqual([(type(u.exc_value), str(u.exc_value), u.object) for u in hook.seen],
                         [(ValueError, "from the callback", None)] * 2)
        self.assertEqual((raising.poll(0), quiet.poll(0)), ((1, b"a"), (1, b"a")))

    def test_callbacks_calling_back(self):
        ds, q = self.open()
        c = q.open_consumer("g")
        handled = []

        def handle():  # the queue's locks are released: poll and ack from the callback
            item = c.poll(0)
            c.ack(item[0])
            handled.append((item, q.get_consumer_group_names()))

        c.poll_callback(handle)
        q.push(b"one")
        ds.write(5, b"two")  # a Dataset write holds its object: the callback reaches the engine through the queue
        self.assertEqual(handled, [((1, b"one"), ["g"]), ((5, b"two"), ["g"])])
        self.assertEqual(c.inspect().state.processed_ts, 5)

        # The Dataset object is borrowed by its own write while the callback runs.
        c.poll_callback(None)
        c.poll_callback(lambda: handled.append(ds.read(6)))
        with Unraisable() as hook:
            ds.write(6, b"three")
            q.push(b"four")  # a push borrows only the queue
        self.assertEqual(handled[2:], [(6, b"three")])  # from the push's callback
        self.assertEqual([(type(u.exc_value), str(u.exc_value)) for u in hook.seen],
                         [(RuntimeError, "Already borrowed")])

        # A callback that pushes again runs again inside its own push.
        c.poll_callback(None)
        pushed = []

        def echo():
            if len(pushed) < 3:
                depth = len(pushed)
                pushed.append(None)
                pushed[depth] = q.push(b"echo")

        c.poll_callback(echo)
        self.assertEqual((q.push(b"start"), pushed), (8, [9, 10, 11]))

    def test_callable_lifetime(self):
        ds, q = self.open()

        class Wake:
            def __call__(self):
                calls.append(self)

        calls = []
        c = q.open_consumer("g")
        wake = Wake()
        ref = weakref.ref(wake)
        c.poll_callback(wake)
        del wake, c  # the open group keeps the callback of a dropped consumer object
        q.push(b"x")
        self.assertEqual(len(calls), 1)
        calls.clear()
        q.drop_consumer("g")  # the group's end releases it
        self.assertIsNone(ref())

        # A refused registration releases its callable at once.
        c = q.open_consumer("h")
        c.poll_callback(print)
        wake = Wake()
        ref = weakref.ref(wake)
        self.assertIs(type(caught(c.poll_callback, wake)), brenvale.BrvlInvalidDataError)
        del wake
        self.assertIsNone(ref())

    def test_a_callable_is_released_outside_the_dataset_lock(self):
        ds, q = self.open(records=[1])
        seen = []

        class Finalized:
            def __call__(self):
                pass

            def __del__(self):  # runs where the reference is released
                try:
                    seen.append(ds.read(1))
                except brenvale.BrvlError as exc:  # a release under the lock meets the re-entry error
                    seen.append(str(exc))

        q.open_consumer("g").poll_callback(Finalized())
        q.close()  # drops the callbacks while the dataset's lock is held
        self.assertEqual(seen, [(1, b"r1")])

        # Released by the dataset's close elsewhere, it goes soon after, on this thread.
        q = self.store.open_queue(ds.id)
        wake = Finalized()
        ref = weakref.ref(wake)
        q.open_consumer("g").poll_callback(wake)
        del wake
        seen.clear()
        self.store.close()
        for _ in range(1000):
            if ref() is None:
                break
        self.assertIsNone(ref())
        self.assertEqual(seen, ["invalid data: dataset sensor/raw is closed"])

    def test_a_callback_in_a_cycle_with_its_consumer_survives_the_collector(self):
        ds = self.make(enable_journal=True)  # a push also appends to the journal
        queues = {"dataset": self.store.open_queue(ds.id), "journal": self.store.open_journal_queue()}
        woken = []

        class Owner:  # holds its consumer and registers a bound method of itself
            def __init__(self, queue, name):
                self.name, self.consumer = name, queue.open_consumer(name)
                self.consumer.poll_callback(self.wake)

            def wake(self):
                woken.append(self.name)

        def closure(queue, name):  # a closure over its own consumer
            consumer = queue.open_consumer(name)
            consumer.poll_callback(lambda: woken.append(name) or consumer)

        for kind, queue in queues.items():
            Owner(queue, kind + "_bound")
            closure(queue, kind + "_closure")
        gc.collect()
        queues["dataset"].push(b"x")
        self.assertEqual(sorted(woken), ["dataset_bound", "dataset_closure", "journal_bound", "journal_closure"])
        for cls in (brenvale.DatasetQueueConsumer, brenvale.JournalQueueConsumer):
            self.assertFalse(hasattr(cls, "__del__"), cls)

    def test_a_queue_without_objects_can_be_opened_again(self):
        ds, q = self.open()
        del q  # dropped without close
        c = self.store.open_queue(ds.id).open_consumer("g")  # the consumer keeps its queue open
        self.assertIs(type(caught(self.store.open_queue, ds.id)), brenvale.BrvlQueueAlreadyOpenError)
        ds.write(1, b"one")
        self.assertEqual(c.poll(0), (1, b"one"))
        del c
        q = self.store.open_queue(ds.id)
        self.assertEqual(q.open_consumer("g").poll(0), (1, b"one"))  # released when the queue closed


if __name__ == "__main__":
    unittest.main()
