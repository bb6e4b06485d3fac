#include "dirty_list.h"

namespace brenvale {

void DirtyList::push(DirtyEntry entry) {
    std::lock_guard lock(mu_);
    entries_.push_back(std::move(entry));
}

std::vector<DirtyEntry> DirtyList::take_all() {
    std::lock_guard lock(mu_);
    std::vector<DirtyEntry> out(std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()));
    entries_.clear();
    return out;
}

std::vector<DirtyTarget> DirtyList::take_for(const DataSetKey& key) {
    std::lock_guard lock(mu_);
    std::vector<DirtyTarget> out;
    std::deque<DirtyEntry> rest;
    for (auto& e : entries_) {
        if (e.key == key)
            out.push_back(std::move(e.target));
        else
            rest.push_back(std::move(e));
    }
    entries_ = std::move(rest);
    return out;
}

size_t DirtyList::size() const {
    std::lock_guard lock(mu_);
    return entries_.size();
}

}  // namespace brenvale
