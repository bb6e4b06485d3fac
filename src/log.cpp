#include "log.h"

#include <memory>
#include <mutex>

namespace brenvale::log {

namespace detail {
std::atomic<int> g_max_level{static_cast<int>(Level::Off)};
}  // namespace detail

namespace {
std::mutex g_sink_mutex;
std::shared_ptr<const Sink> g_sink;
}  // namespace

void set_sink(Sink sink) {
    std::shared_ptr<const Sink> next = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    std::lock_guard lock(g_sink_mutex);
    g_sink = std::move(next);
}

void set_max_level(Level level) {
    detail::g_max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

Level max_level() { return static_cast<Level>(detail::g_max_level.load(std::memory_order_relaxed)); }

void detail::emit(Level level, std::string_view target, std::string message) {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard lock(g_sink_mutex);
        sink = g_sink;
    }
    if (sink) (*sink)(level, target, message);
}

}  // namespace brenvale::log
