"""The journal from Python: Store.journal_read/query/latest_sequence, JournalQueue and
JournalQueueConsumer, polls woken from other threads, redelivery, pending-full, and wake
callbacks run by dataset writes and by the store's create and drop."""

import threading
import time
import unittest

import brenvale
from dataset_util import DEADLINE_MS, DatasetCase, Unraisable, caught, config

CREATE, DROP, WRITE, DELETE, APPEND = 1, 2, 17, 18, 19
CLOSED = "queue closed: journal queue is closed"
CLASSES = {
    "JournalQueue": ("Python wrapper for the built-in journal queue.", [
        ("open_consumer", "($self, group_name, running_expired_seconds=900, max_retry_count=3)",
         "Open or create a journal consumer group."),
        ("close", "($self)", "Close the journal queue handle and unblock waiting polls.")]),
    "JournalQueueConsumer": ("Python wrapper for a journal queue consumer.", [
        ("poll", "($self, timeout_ms)", "Poll for the next encoded journal record."),
        ("ack", "($self, sequence)", "Acknowledge a previously polled journal sequence."),
        ("poll_callback", "($self, callback)", "Register or clear a lightweight wake callback.")]),
}


def kinds(entries):
    """(sequence, log type) of journal entries; the type is the record's first byte."""
    return [(sequence, record[0]) for sequence, record in entries]


class JournalClassTest(unittest.TestCase):
    def test_classes(self):
        for name, (doc, methods) in CLASSES.items():
            cls = getattr(brenvale, name)
            with self.subTest(cls=name):
                self.assertEqual((cls.__module__, cls.__qualname__, cls.__doc__), ("builtins", name, doc))
                self.assertEqual([k for k, v in vars(cls).items() if callable(v) and not k.startswith("__")],
                                 [m for m, _, _ in methods])
                for method, signature, method_doc in methods:
                    self.assertEqual((getattr(cls, method).__text_signature__, getattr(cls, method).__doc__),
                                     (signature, method_doc))
                self.assertEqual(str(caught(cls)), f"cannot create 'builtins.{name}' instances")
                self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)


class JournalTest(DatasetCase):
    def test_every_dataset_event_is_recorded_and_delivered(self):
        queue = self.store.open_journal_queue()
        consumer = queue.open_consumer("all")
        self.assertEqual((repr(queue), repr(consumer), consumer.poll(0)), ("JournalQueue()", "JournalQueueConsumer()",
                                                                           None))
        quiet = self.make("quiet", records=[1])  # not journalled: nothing recorded
        self.assertIsNone(self.store.journal_latest_sequence())
        ds = self.make(enable_journal=True)
        ds.write(5, b"five")
        ds.append(5, b"+")
        ds.delete(5)
        self.store.drop_dataset("sensor", "raw")
        self.store.drop_dataset("quiet", "raw")
        expected = [(1, CREATE), (2, WRITE), (3, APPEND), (4, DELETE), (5, DROP)]
        self.assertEqual(self.store.journal_latest_sequence(), 5)
        self.assertEqual(kinds(self.store.journal_query(start_sequence=1, end_sequence=10)), expected)
        self.assertEqual(kinds([self.store.journal_read(3)]), [(3, APPEND)])
        self.assertEqual((self.store.journal_read(6), self.store.journal_query(4, 2)), (None, []))
        self.assertIn(b"sensor", self.store.journal_read(1)[1])
        polled = [consumer.poll(0) for _ in range(6)]
        self.assertEqual(kinds(polled[:5]), expected)
        self.assertIsNone(polled[5])
        self.assertEqual(polled[:5], self.store.journal_query(1, 5))  # the same encoded records
        self.assertEqual(str(caught(quiet.read, 1)), "invalid data: dataset quiet/raw is closed")

    def test_groups_and_handles(self):
        self.make(enable_journal=True, records=[1, 2, 3, 4])  # sequences 1 to 5
        queue = self.store.open_journal_queue()
        first, second = queue.open_consumer("g"), self.store.open_journal_queue().open_consumer("g")
        ds = self.store.open_dataset("sensor", "raw")
        self.assertIsNone(first.poll(0))  # a new group starts after the last sequence
        ds.write(6, b"a")
        ds.write(7, b"b")
        self.assertEqual([first.poll(0)[0], second.poll(0)[0], first.poll(0)], [6, 7, None])
        second.ack(7)
        first.ack(sequence=6)
        self.assertEqual(str(caught(first.ack, 6)), "not found: pending entry for timestamp 6")
        self.assertEqual(queue.open_consumer("g2", 65535, 255).poll(0), None)
        for call, cls, text in [
            (lambda: queue.open_consumer("g", 60), brenvale.BrvlInvalidDataError,
             "invalid data: journal consumer group g is already open with a different config"),
            (lambda: queue.open_consumer("a b"), brenvale.BrvlInvalidDataError,
             "invalid data: journal queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes"),
            (lambda: queue.open_consumer("h", 65536), brenvale.BrvlInvalidDataError,
             "invalid data: running_expired_seconds exceeds u16::MAX: 65536"),
            (lambda: queue.open_consumer("h", max_retry_count=256), brenvale.BrvlInvalidDataError,
             "invalid data: max_retry_count exceeds u8::MAX: 256"),
            (lambda: first.ack(2**63), OverflowError, "int too big to convert"),
        ]:
            with self.subTest(text=text):
                exc = caught(call)
                self.assertEqual((type(exc), str(exc)), (cls, text))
        queue.close()
        queue.close()  # a second close does nothing
        self.assertEqual(str(caught(first.poll, 0)), CLOSED)
        exc = caught(queue.open_consumer, "g")
        self.assertEqual((type(exc), str(exc)), (brenvale.BrvlQueueClosedError, CLOSED))
        reopened = self.store.open_journal_queue().open_consumer("g")  # a new queue after the close
        ds.write(8, b"c")
        self.assertEqual(reopened.poll(0)[0], 8)

    def test_unacknowledged_records_come_back_after_reopening(self):
        ds = self.make(enable_journal=True)
        consumer = self.store.open_journal_queue().open_consumer("g")
        ds.write(1, b"x")
        ds.write(2, b"y")
        self.assertEqual([consumer.poll(0)[0] for _ in range(2)], [2, 3])
        consumer.ack(2)
        self.store.close()
        # Closed, the old consumer and dataset can write nothing more: they do not keep the
        # directory locked, so the store opens writable again while they are alive.
        store = self.open_store(read_only=False)
        self.assertEqual(str(caught(consumer.poll, 0)), CLOSED)
        self.assertIsInstance(caught(ds.write, 3, b"z"), brenvale.BrvlInvalidDataError)
        consumer = store.open_journal_queue().open_consumer("g")
        self.assertEqual((consumer.poll(0)[0], consumer.poll(0)), (3, None))

    def test_redelivery_after_expiry_and_pending_full(self):
        ds = self.make(enable_journal=True)
        queue = self.store.open_journal_queue()
        retried = queue.open_consumer("retried", running_expired_seconds=1, max_retry_count=1)
        ds.write(1, b"once")
        self.assertEqual(retried.poll(0)[0], 2)
        # Entries expire by the wall clock in whole seconds: a poll waiting 2.5 s finds the
        # entry expired in its last attempt, and after the retry limit it is dropped.
        self.assertEqual(retried.poll(2500)[0], 2)
        self.assertIsNone(retried.poll(2500))

        full = queue.open_consumer("full")
        for ts in range(2, 229):
            ds.write(ts, b"x")
        self.assertEqual([full.poll(0)[0] for _ in range(226)], list(range(3, 229)))
        exc = caught(full.poll, 0)
        self.assertIs(type(exc), brenvale.BrvlPendingFullError)
        self.assertTrue(str(exc).startswith("pending entries full: "), exc)
        full.ack(3)
        self.assertEqual(full.poll(0)[0], 229)


class JournalThreadTest(DatasetCase):
    def test_a_blocked_poll_wakes_on_events_from_other_threads(self):
        ds = self.make(enable_journal=True)
        consumer = self.store.open_journal_queue().open_consumer("g")
        events = [lambda: ds.write(1, b"w"), lambda: self.store.create_dataset("other", "raw", enable_journal=True),
                  lambda: self.store.drop_dataset("other", "raw")]
        for sequence, (event, kind) in enumerate(zip(events, (WRITE, CREATE, DROP)), start=2):
            with self.subTest(kind=kind):
                waiter, outcome = self.in_thread(consumer.poll, 2**64 - 1)  # the largest wait too
                time.sleep(0.05)  # usually blocked by now; a later poll finds the record at once
                producer, produced = self.in_thread(event)
                producer.join()
                self.joined(waiter, self.store.open_journal_queue().close)
                self.assertEqual([(s, r[0]) for s, r in outcome], [(sequence, kind)])
                consumer.ack(sequence)

    def test_closing_wakes_a_blocked_poll(self):
        queue = self.store.open_journal_queue()
        consumers = [queue.open_consumer("a"), queue.open_consumer("b")]
        waiters = [self.in_thread(c.poll, DEADLINE_MS) for c in consumers]
        time.sleep(0.05)
        queue.close()
        for thread, outcome in waiters:
            self.joined(thread, lambda: None)
            self.assertEqual([(type(o), str(o)) for o in outcome], [(brenvale.BrvlQueueClosedError, CLOSED)])


class JournalCallbackTest(DatasetCase):
    def test_registration_and_errors(self):
        consumer = self.store.open_journal_queue().open_consumer("g")
        exc = caught(consumer.poll_callback, 42)
        self.assertEqual((type(exc), str(exc)), (TypeError, "poll_callback requires a callable or None"))
        self.assertIsNone(consumer.poll_callback(None))
        threads = []
        consumer.poll_callback(lambda: threads.append(threading.get_ident()))
        exc = caught(consumer.poll_callback, print)
        self.assertEqual((type(exc), str(exc)), (brenvale.BrvlInvalidDataError,
                                                 "invalid data: journal queue poll callback is already registered"))
        ds = self.make(enable_journal=True)  # the creation runs it on this thread
        writer, _ = self.in_thread(ds.write, 1, b"x")
        writer.join()
        self.assertEqual(threads, [threading.get_ident(), writer.ident])
        consumer.poll_callback(callback=None)
        ds.write(2, b"y")
        self.assertEqual(len(threads), 2)

        def fail():
            raise ValueError("from the journal callback")

        consumer.poll_callback(fail)
        with Unraisable() as hook:
            ds.write(3, b"z")  # the writer completes normally
            self.store.drop_dataset("sensor", "raw")
        self.assertEqual([(type(u.exc_value), str(u.exc_value)) for u in hook.seen],
                         [(ValueError, "from the journal callback")] * 2)
        self.assertEqual(self.store.journal_latest_sequence(), 5)

    def test_callbacks_calling_back(self):
        store = self.store
        consumer = store.open_journal_queue().open_consumer("g")
        handled = []

        def handle():  # the journal's locks are released: poll and ack from the callback
            item = consumer.poll(0)
            if item is not None:
                consumer.ack(item[0])
                handled.append(item[1][0])

        consumer.poll_callback(handle)
        ds = self.make(enable_journal=True)
        ds.write(1, b"x")
        self.assertEqual(handled, [CREATE, WRITE])

        # The store is borrowed by its own create and drop while their callbacks run.
        consumer.poll_callback(None)
        seen = []
        consumer.poll_callback(lambda: seen.append(store.get_dataset_names()))
        with Unraisable() as hook:
            store.create_dataset("other", "raw", enable_journal=True)
            store.drop_dataset("other", "raw")
            ds.write(2, b"y")  # a dataset write borrows only the dataset
        self.assertEqual(seen, [["sensor"]])
        self.assertEqual([(type(u.exc_value), str(u.exc_value)) for u in hook.seen],
                         [(RuntimeError, "Already mutably borrowed")] * 2)

    def test_a_journal_disabled_or_read_only(self):
        store = self.open_store(self.root + "-nojournal", enable_journal=False)
        exc = caught(store.open_journal_queue)
        self.assertEqual((type(exc), str(exc)), (brenvale.BrvlNotFoundError, "not found: journal is disabled"))
        store.close()
        self.make(enable_journal=True)
        self.store.close()
        with brenvale.Store.open(self.root, config(read_only=True)) as ro:
            self.assertEqual(kinds(ro.journal_query(0, 9)), [(1, CREATE)])


if __name__ == "__main__":
    unittest.main()
