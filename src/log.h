// Levelled logging facade with one target per component. Off by default: nothing is
// formatted or emitted until a sink is installed and the maximum level raised.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace brenvale::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Component targets.
inline constexpr std::string_view kStore = "brenvale::store";
inline constexpr std::string_view kBg = "brenvale::bg";
inline constexpr std::string_view kQueue = "brenvale::queue";
inline constexpr std::string_view kDataset = "brenvale::dataset";
inline constexpr std::string_view kDatasetState = "brenvale::dataset_state";
inline constexpr std::string_view kMeta = "brenvale::meta";
inline constexpr std::string_view kHeader = "brenvale::header";
inline constexpr std::string_view kIndex = "brenvale::index";
inline constexpr std::string_view kIndexSegment = "brenvale::index::segment";
inline constexpr std::string_view kSegment = "brenvale::segment";
inline constexpr std::string_view kSegmentData = "brenvale::segment::data";
inline constexpr std::string_view kJournalLog = "brenvale::journal::log";
inline constexpr std::string_view kJournalSegment = "brenvale::journal::segment";

using Sink = std::function<void(Level level, std::string_view target, std::string_view message)>;

// Installs the sink (an empty function removes it). Thread-safe.
void set_sink(Sink sink);
// Records at or below this level reach the sink. Off by default.
void set_max_level(Level level);
Level max_level();

namespace detail {
extern std::atomic<int> g_max_level;
void emit(Level level, std::string_view target, std::string message);
}  // namespace detail

inline bool enabled(Level level) {
    return static_cast<int>(level) <= detail::g_max_level.load(std::memory_order_relaxed);
}

template <typename... Args>
void write(Level level, std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    if (!enabled(level)) return;
    detail::emit(level, target, fmt::format(f, std::forward<Args>(args)...));
}

template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    write(Level::Error, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    write(Level::Warn, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    write(Level::Info, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    write(Level::Debug, target, f, std::forward<Args>(args)...);
}

}  // namespace brenvale::log
