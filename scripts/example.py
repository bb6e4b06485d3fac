"""The README's Python tour as a script: opens a store, creates a dataset, writes, reads,
queries forward and backward, reads the existence bitmap, consumes a queue from a second
thread, follows the journal and closes, printing what it does.

    python scripts/example.py [STORE_DIR]

STORE_DIR is the store's directory (kept afterwards; a dataset left there by an earlier run
is dropped first); without it the tour runs in a temporary directory that is removed at the
end. `bash scripts/setup.sh --example` builds the module and runs this script."""

import shutil
import sys
import tempfile
import threading

import brenvale

NAME, TYPE = "sensor", "temperature"


_NOTHING = object()


def say(what, value=_NOTHING):
    print(what if value is _NOTHING else f"{what:<46} {value!r}")


def tour(root):
    config = brenvale.StoreConfig(flush_interval=5)
    with brenvale.Store.open(root, config) as store:
        say(f"opened the store at {root}")
        if NAME in store.get_dataset_names() and TYPE in store.get_dataset_types(NAME):
            store.drop_dataset(NAME, TYPE)
            say(f"dropped {NAME}/{TYPE} left by an earlier run")

        ds = store.create_dataset(NAME, TYPE, enable_journal=True)
        say(f"created {NAME}/{TYPE}: binding id, store identifier", (ds.id, ds.identifier))
        ds.write(100, b"21.5")
        ds.write(101, b"21.7")
        ds.append(101, b";ok")
        ds.write(105, b"22.0")
        say("wrote 100, 101 and 105, appended to 101")
        say("read(101)", ds.read(101))
        say("read(102), never written", ds.read(102))

        say("query_all(100, 110)", ds.query_all(100, 110))
        say("query(100, 110).reverse().collect_take(2)", ds.query(100, 110).reverse().collect_take(2))
        say("query_length_all(100, 110)", ds.query_length_all(100, 110))
        bits = ds.query_exist(100, 107)
        say("query_exist(100, 107)", bits)
        say("  the timestamps whose bits are set", [100 + i for i in range(8) if bits[0] >> i & 1])
        ds.delete(100)
        say("deleted 100: read_exist(100), latest_timestamp", (ds.read_exist(100), ds.latest_timestamp))

        queue = store.open_queue(ds.id)
        consumer = queue.open_consumer("alerts", running_expired_seconds=60)
        received = []

        def work():
            item = consumer.poll(10_000)
            consumer.ack(item[0])
            received.append(item)

        worker = threading.Thread(target=work)
        worker.start()
        pushed = queue.push(b"23.1")
        worker.join()
        say("pushed to the queue at timestamp", pushed)
        say("a second thread polled and acknowledged", received)
        say("the group's committed position", consumer.inspect().state.processed_ts)

        journal = store.open_journal_queue().open_consumer("audit")
        ds.write(110, b"23.4")
        sequence, record = journal.poll(0)
        journal.ack(sequence)
        say("the journal consumer got sequence, event kind", (sequence, record[0]))
        say("journal_latest_sequence()", store.journal_latest_sequence())
        executed, delay_ms = store.tick_background_tasks()
        say("tick_background_tasks(): tasks run, next delay ms", (executed, delay_ms))
        info = store.inspect_dataset(NAME, TYPE)
        say("inspect_dataset(): records, invalid records",
            (info.state.total_record_count, info.state.total_invalid_record_count))

    say("closed the store")
    try:
        ds.read(101)
    except brenvale.BrvlInvalidDataError as exc:
        say("a dataset of a closed store answers", str(exc))


def main(argv):
    if len(argv) > 2:
        sys.exit(__doc__)
    if len(argv) == 2:
        tour(argv[1])
        return
    root = tempfile.mkdtemp(prefix="brenvale-example-")
    try:
        tour(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
