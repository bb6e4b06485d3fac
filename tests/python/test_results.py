"""The result classes: DataSetInspectResult with its DataSetInfo and DataSetState, and the
class shape of the queue consumer results (their values are tested with the queues)."""

import os
import time
import unittest

import brenvale
from dataset_util import DatasetCase, caught

# Attributes, in table order.
INFO = ["name", "dataset_type", "base_dir", "identifier", "data_segment_size", "index_segment_size",
        "initial_data_segment_size", "initial_index_segment_size", "compress_type", "compress_level",
        "index_continuous", "retention_window", "timestamp_units_per_seconds", "enable_journal", "create_time"]
STATE = ["latest_written_timestamp", "open_data_segments", "data_segments", "total_record_count",
         "total_data_size", "total_uncompressed_size", "total_invalid_record_count", "min_timestamp",
         "max_timestamp", "open_index_segments", "index_segments", "pending_index_entries", "base_timestamp",
         "read_only", "has_block_cache", "has_journal", "has_queue", "queue_consumer_groups"]
CLASSES = [
    ("DataSetInspectResult", "Result of `Store.inspect_dataset()`.", ["info", "state"]),
    ("DataSetInfo", "Immutable dataset configuration info.", INFO),
    ("DataSetState", "Mutable dataset state info.", STATE),
]
# The queue consumer results, whose attributes have no docstrings.
QUEUE_CLASSES = [
    ("DatasetQueueConsumerInspectResult", "Result of DatasetQueueConsumer.inspect().", ["info", "state"]),
    ("DatasetQueueConsumerInfo", "Public configuration for a dataset queue consumer group.",
     ["group_name", "running_expired_seconds", "max_retry_count"]),
    ("DatasetQueueConsumerState", "Durable state for a dataset queue consumer group.",
     ["processed_ts", "pending_entries"]),
    ("DatasetQueueConsumerPendingEntry", "Pending queue record state returned by DatasetQueueConsumer.inspect().",
     ["timestamp", "start_time", "status", "retry_count"]),
]
# A sample of the attribute docstrings.
DOCS = {("DataSetInspectResult", "info"): "Immutable configuration info",
        ("DataSetInfo", "index_continuous"): "Index mode: 0=sparse, 1=continuous",
        ("DataSetInfo", "create_time"): "Dataset creation time (Unix milliseconds)",
        ("DataSetState", "base_timestamp"): "Index base timestamp (None if no data)"}


class ResultClassTest(DatasetCase):
    def test_classes_attributes_and_docstrings(self):
        for name, doc, attributes in CLASSES + QUEUE_CLASSES:
            cls = getattr(brenvale, name)
            with self.subTest(cls=name):
                self.assertEqual((cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__),
                                 ("builtins", name, name, doc))
                own = [k for k, v in vars(cls).items() if not k.startswith("__")]
                self.assertEqual(own, attributes)
                for attribute in attributes:
                    documented = bool(getattr(cls, attribute).__doc__)
                    self.assertEqual(documented, name.startswith("DataSet"), attribute)
                self.assertEqual(str(caught(cls)), f"cannot create 'builtins.{name}' instances")
                self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)
        for (cls, attribute), doc in DOCS.items():
            self.assertEqual(getattr(getattr(brenvale, cls), attribute).__doc__, doc)

    def test_values_of_a_fresh_and_a_written_dataset(self):
        before = int(time.time() * 1000)
        for name in "abc":  # identifiers are never reused: the next dataset gets 4
            self.make(name)
            self.store.drop_dataset(name, "raw")
        fresh = self.make().inspect()
        after = int(time.time() * 1000)
        info = fresh.info
        self.assertEqual({a: getattr(info, a) for a in INFO if a != "create_time"}, {
            "name": "sensor", "dataset_type": "raw", "base_dir": os.path.join(self.root, "sensor", "raw"),
            "identifier": 4, "data_segment_size": 67108864, "index_segment_size": 16777216,
            "initial_data_segment_size": 262144, "initial_index_segment_size": 16384, "compress_type": 0,
            "compress_level": 6, "index_continuous": 0, "retention_window": 0, "timestamp_units_per_seconds": 0,
            "enable_journal": False})
        self.assertTrue(before <= info.create_time <= after)
        state = fresh.state
        self.assertEqual({a: getattr(state, a) for a in STATE}, {
            "latest_written_timestamp": None, "open_data_segments": 0, "data_segments": 0, "total_record_count": 0,
            "total_data_size": 0, "total_uncompressed_size": 0, "total_invalid_record_count": 0,
            "min_timestamp": None, "max_timestamp": None, "open_index_segments": 0, "index_segments": 0,
            "pending_index_entries": 0, "base_timestamp": None, "read_only": False, "has_block_cache": True,
            "has_journal": False, "has_queue": False, "queue_consumer_groups": 0})
        self.assertFalse(hasattr(state, "retention_floor"))

        ds = self.standalone("cont", index_continuous=True, retention_window=1000,
                             timestamp_units_per_seconds=1000, journal="error")
        now = int(time.time() * 1000)
        for ts in (now - 5, now - 2):
            caught(ds.write, ts, b"abc")  # stored, then the journal hook fails
        caught(ds.delete, now - 2)
        written = ds.inspect()
        info, state = written.info, written.state
        self.assertEqual((info.index_continuous, type(info.index_continuous)), (1, int))
        self.assertEqual((info.retention_window, info.timestamp_units_per_seconds), (1000, 1000))
        self.assertEqual((state.latest_written_timestamp, state.min_timestamp, state.max_timestamp,
                          state.base_timestamp), (now - 2, now - 5, now - 2, now - 5))
        self.assertEqual((state.total_record_count, state.total_invalid_record_count, state.has_journal),
                         (2, 1, True))
        self.assertEqual(state.pending_index_entries, 0)

    def test_snapshots_are_copies_that_never_change(self):
        ds = self.make(records=[1])
        result = ds.inspect()
        old_state, first_info = result.state, result.info
        self.assertIsNot(result.info, first_info)
        self.assertEqual([getattr(result.info, a) for a in INFO], [getattr(first_info, a) for a in INFO])
        ds.write(5, b"x")
        self.assertEqual((old_state.latest_written_timestamp, result.state.latest_written_timestamp), (1, 1))
        self.assertEqual(ds.inspect().state.latest_written_timestamp, 5)
        self.store.close()
        self.assertEqual((result.info.name, old_state.total_record_count), ("sensor", 1))
        for obj, attribute in ((first_info, "name"), (old_state, "read_only"), (result, "info"), (result, "x")):
            with self.subTest(attribute=attribute):
                self.assertIs(type(caught(setattr, obj, attribute, 1)), AttributeError)
        self.assertIs(type(caught(delattr, first_info, "name")), AttributeError)
        self.assertTrue(repr(result).startswith("<builtins.DataSetInspectResult object at 0x"))
        self.assertNotEqual(result.info, first_info)  # identity equality, no value equality
        self.assertEqual(len({result, result}), 1)

    def test_read_only_state(self):
        self.make(records=[1])
        ro = self.read_only()
        self.assertEqual((ro.inspect().state.read_only, ro.inspect().state.latest_written_timestamp), (True, 1))


if __name__ == "__main__":
    unittest.main()
