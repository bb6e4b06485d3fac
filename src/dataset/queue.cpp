// The dataset's side of its queue: attaching and detaching it, and what a flush, an
// inspect and a write of a new latest record do with it. Every function here runs under
// the dataset mutex; inside it the queue's inner mutex, the group state mutexes and, on a
// write, the notify and callback mutexes are taken, and nothing here calls back into the
// dataset. Wake callbacks are only collected here; the dataset guard runs them after the
// dataset mutex is released.
#include "dataset/inner.h"
#include "file.h"
#include "log.h"
#include "paths.h"
#include "queue/queue.h"

namespace brenvale {

Result<DatasetQueue> Dataset::open_queue() {
    {
        Guard g = BRVL_TRY(lock());
        if (g->runtime.read_only) return Error::invalid_data("read-only dataset cannot open queue");
    }
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    if (in.queue) return Error::queue_already_open(fmt::format("queue already open for dataset {}", in.key.name));
    BRVL_TRY(create_dir_all(paths::queue_dir(in.data_dir), 0777));
    in.queue = std::make_shared<QueueInner>();
    in.queue_notify = std::make_shared<QueueNotify>();
    return DatasetQueue(*this, in.queue, in.queue_notify, true);
}

Status Dataset::close_queue(const QueueInner* only) {
    Guard g = BRVL_TRY(lock());
    if (only != nullptr && g->queue.get() != only) return {};  // that queue was detached already
    return g->detach_queue();
}

Status DatasetInner::detach_queue() {
    std::shared_ptr<QueueInner> q = std::move(queue);
    if (!q) return {};
    Status st = q->close();
    // Pollers learn of the close now, not only at their deadline.
    if (queue_notify) (void)queue_notify->notify();
    if (!st.ok()) return st;
    queue_notify.reset();
    return {};
}

Status DatasetInner::flush_queue_group(const std::string& group) {
    return queue ? queue->flush_group(group) : Status();
}

void DatasetInner::flush_queue_all() {
    if (!queue) return;
    Status st = queue->flush_all();
    if (!st.ok()) log::warn(log::kDataset, "[flush] queue state flush failed: {}", st.error());
}

uint32_t DatasetInner::queue_group_count() {
    return queue ? static_cast<uint32_t>(queue->group_count()) : 0;
}

void DatasetInner::wake_queue() {
    if (!queue_notify) return;
    std::vector<PollCallback> cbs = queue_notify->notify_and_collect();
    if (wakes.empty())
        wakes = std::move(cbs);
    else
        wakes.insert(wakes.end(), cbs.begin(), cbs.end());
}

}  // namespace brenvale
