// The store kill test: a writer process creates, writes, flushes and drops journalled
// datasets of one store (with its background thread running) and is SIGKILLed at a random
// moment; the store is then opened again and checked against the operations that were
// acknowledged: every acknowledged record and journal event is there, every dataset opens
// or is absent as it should be, and identifiers stay unique. Some rounds kill the writer
// inside create_dataset; every round checks that a read-only store lists only datasets
// that open and leaves the directory as it is, and that a writable open clears away
// what the kill left half done.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <random>
#include <set>

#include "paths.h"
#include "store_test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

constexpr int kKeys = 4;

constexpr uint8_t kCreate = 0, kWrite = 1, kDrop = 2, kFlush = 3;

struct Msg {
    uint8_t type = 0;  // 'I': about to run; 'D': returned; 'E': the writer failed
    uint8_t kind = 0;
    uint8_t key = 0;
    uint8_t pad = 0;
    uint32_t len = 0;
    int64_t ts = 0;
    uint64_t value = 0;  // the payload seed of a write; the identifier of a finished create
};

std::string name_of(int k) { return fmt::format("k{}", k); }

std::vector<uint8_t> payload(uint32_t len, uint64_t seed) {
    std::vector<uint8_t> d(len);
    uint64_t x = seed * 0x9e3779b97f4a7c15ULL | 1;
    for (uint32_t i = 0; i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        d[i] = static_cast<uint8_t>(x % 23);
    }
    return d;
}

StoreConfig store_config() { return testing::small_store_config(false, /*journal=*/true); }

StoreConfig writer_config() {
    StoreConfig c = store_config();
    c.enable_background_thread = true;
    c.flush_interval = std::chrono::milliseconds(5);
    return c;
}

// What the acknowledged operations left: per key, whether the dataset exists and its records.
struct KeyModel {
    bool exists = false;
    uint64_t identifier = 0;
    int64_t next_ts = 0;
    std::map<int64_t, std::pair<uint32_t, uint64_t>> records;  // ts -> (len, seed)
};

// A dataset event the journal must hold: create and drop (timestamp unused) or a write.
struct Event {
    JournalLogType type;
    uint64_t identifier;
    int64_t ts;
    bool operator==(const Event&) const = default;
};

struct Model {
    KeyModel keys[kKeys];
    std::vector<Event> events;  // acknowledged, in order
};

// Kills the writer at the n-th crash point passed inside create_dataset.
std::atomic<long> g_create_kill_at{0};
std::atomic<bool> g_in_create{false};
void kill_inside_create(const char*) {
    if (g_in_create.load() && --g_create_kill_at == 0) ::raise(SIGKILL);
}

bool send(int fd, const Msg& m) { return ::write(fd, &m, sizeof m) == static_cast<ssize_t>(sizeof m); }

// The writer: runs until it is killed.
[[noreturn]] void writer(const std::string& root, Model model, uint64_t seed, int fd, long create_kill_at) {
    g_create_kill_at = create_kill_at;
    if (create_kill_at > 0) set_crash_hook(kill_inside_create);
    auto store = Store::open(root, writer_config());
    if (!store.ok()) _exit(3);
    std::mt19937_64 rng(seed);
    std::map<int, Dataset> open;
    auto handle = [&](int k) -> Dataset& {
        if (!open.count(k)) {
            auto d = store->open_dataset(name_of(k), "x");
            if (!d.ok()) _exit(6);
            open.insert_or_assign(k, *d);
        }
        return open.at(k);
    };
    for (;;) {
        Msg m;
        m.key = static_cast<uint8_t>(rng() % kKeys);
        KeyModel& km = model.keys[m.key];
        const uint64_t r = rng() % 100;
        m.kind = !km.exists ? kCreate : r < 3 ? kDrop : r < 6 ? kFlush : kWrite;
        if (m.kind == kWrite) {
            m.ts = km.next_ts;
            m.len = static_cast<uint32_t>(rng() % 3000);
            m.value = rng();
        }
        m.type = 'I';
        if (!send(fd, m)) _exit(4);
        Status st;
        if (m.kind == kCreate) {
            auto builder = DatasetConfigBuilder::from_store(store->config());
            builder.enable_journal(true);
            g_in_create = true;
            auto d = store->create_dataset(name_of(m.key), "x", builder);
            g_in_create = false;
            st = d.ok() ? Status() : Status(d.error());
            if (d.ok()) {
                m.value = d->identifier();
                open.insert_or_assign(m.key, *d);
                km.exists = true;
            }
        } else if (m.kind == kDrop) {
            st = store->drop_dataset(name_of(m.key), "x");
            open.erase(m.key);
            km.exists = false;
        } else if (m.kind == kFlush) {
            st = handle(m.key).flush();
        } else {
            st = handle(m.key).write(m.ts, payload(m.len, m.value));
            ++km.next_ts;
        }
        m.type = st.ok() ? 'D' : 'E';
        if (!send(fd, m)) _exit(4);
        if (!st.ok()) _exit(5);
    }
}

struct Round {
    std::vector<Msg> done;
    std::optional<Msg> in_flight;
    bool writer_failed = false;
};

// Runs one writer, kills it after delay_ms, and gathers what it reported.
Round run_and_kill(const std::string& root, const Model& model, uint64_t seed, int delay_ms, long create_kill_at) {
    Round round;
    int fds[2];
    if (::pipe(fds) != 0) return round;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        writer(root, model, seed, fds[1], create_kill_at);
    }
    ::close(fds[1]);
    const auto deadline = MonoClock::now() + std::chrono::milliseconds(delay_ms);
    bool killed = false;
    Msg m;
    for (;;) {
        if (!killed && MonoClock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (!killed && ::poll(&p, 1, 1) == 0) continue;
        const ssize_t n = ::read(fds[0], &m, sizeof m);
        if (n != static_cast<ssize_t>(sizeof m)) break;  // the writer is gone
        if (m.type == 'I') round.in_flight = m;
        if (m.type == 'D') {
            round.done.push_back(m);
            round.in_flight.reset();
        }
        if (m.type == 'E') round.writer_failed = true;
    }
    if (!killed) ::kill(pid, SIGKILL);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return round;
}

void apply(Model& model, const Msg& m) {
    KeyModel& km = model.keys[m.key];
    switch (m.kind) {
        case kCreate:
            km = KeyModel{true, m.value, 0, {}};
            model.events.push_back({JournalLogType::CreateDataset, km.identifier, 0});
            break;
        case kDrop:
            model.events.push_back({JournalLogType::DropDataset, km.identifier, 0});
            km = KeyModel{};
            break;
        case kWrite:
            km.records[m.ts] = {m.len, m.value};
            km.next_ts = m.ts + 1;
            model.events.push_back({JournalLogType::RecordWrite, km.identifier, m.ts});
            break;
        default: break;
    }
}

// The acknowledged events are in the journal, in their order (others, of operations
// cut short, may lie between them).
void check_journal(Store& s, const Model& model, const std::string& context) {
    auto entries = s.journal_query(1, INT64_MAX);
    ASSERT_TRUE(entries.ok()) << context << ": " << entries.error().to_string();
    size_t next = 0;
    uint64_t sequence = 0;
    for (const JournalEntry& e : *entries) {
        EXPECT_EQ(e.sequence, ++sequence) << context;
        auto r = JournalRecord::decode(e.payload);
        ASSERT_TRUE(r.ok()) << context << ": " << r.error().to_string();
        const Event got{r->type, r->identifier, r->index_info ? r->index_info->timestamp : 0};
        if (next < model.events.size() && got == model.events[next]) ++next;
    }
    EXPECT_EQ(next, model.events.size()) << context << ": acknowledged event " << next << " of "
                                         << model.events.size() << " missing";
}

// Every listed dataset opens.
void expect_listed_open(Store& s, const std::string& context) {
    auto listed = s.scan();
    ASSERT_TRUE(listed.ok()) << context << ": " << listed.error().to_string();
    for (const ScanEntry& e : *listed)
        EXPECT_TRUE(s.open_dataset(e.name, e.dataset_type).ok()) << context << ": " << e.name << " listed";
}

// Checks the reopened store against the model and brings the model to what is on disk
// (the operation in flight may or may not have happened).
void check(Store& s, Model& model, const std::optional<Msg>& in_flight, const std::string& context) {
    std::set<uint64_t> identifiers;
    for (int k = 0; k < kKeys; ++k) {
        KeyModel& km = model.keys[k];
        const bool flying = in_flight && in_flight->key == k;
        const uint8_t kind = flying ? in_flight->kind : kFlush;
        auto d = s.open_dataset(name_of(k), "x");
        if (!d.ok()) {
            EXPECT_EQ(d.error().kind(), ErrorKind::NotFound) << context << ": " << d.error().to_string();
            EXPECT_TRUE(!km.exists || kind == kDrop) << context << ": dataset " << k << " lost";
            km = KeyModel{};
            continue;
        }
        EXPECT_TRUE(km.exists || kind == kCreate) << context << ": dataset " << k << " should be gone";
        if (!km.exists) km = KeyModel{true, d->identifier(), 0, {}};
        EXPECT_EQ(km.identifier, d->identifier()) << context;
        EXPECT_TRUE(identifiers.insert(d->identifier()).second) << context << ": identifier twice";
        EXPECT_LE(d->identifier(), s.max_identifier()) << context;
        auto all = d->query_all(INT64_MIN, INT64_MAX);
        ASSERT_TRUE(all.ok()) << context << ": " << all.error().to_string();
        std::map<int64_t, std::pair<uint32_t, uint64_t>> expected = km.records;
        if (kind == kWrite && all->size() == expected.size() + 1)
            expected[in_flight->ts] = {in_flight->len, in_flight->value};  // the write in flight got in
        ASSERT_EQ(all->size(), expected.size()) << context << ", dataset " << k;
        size_t i = 0;
        for (const auto& [ts, rec] : expected) {
            EXPECT_EQ((*all)[i].timestamp, ts) << context;
            EXPECT_TRUE((*all)[i].data == payload(rec.first, rec.second)) << context << ", ts " << ts;
            ++i;
        }
        km.records = std::move(expected);
        km.next_ts = km.records.empty() ? 0 : km.records.rbegin()->first + 1;
    }
    expect_listed_open(s, context);
}

// What kills leave in the store tree (three levels deep, the journal's logs included):
// replacement temporaries and the directories of creates and drops cut short.
size_t leftovers(const std::string& root) {
    size_t n = 0;
    auto names_in = [&n](const std::string& dir) {
        std::vector<std::string> names = list_dir(dir).ok() ? *list_dir(dir) : std::vector<std::string>{};
        for (const std::string& e : names)
            n += paths::is_replacement_temp_name(e) || paths::is_creating_name(e) || paths::is_dropping_name(e);
        return names;
    };
    for (const std::string& name : names_in(root))
        for (const std::string& type : names_in(join_path(root, name)))
            names_in(join_path(join_path(root, name), type));
    return n;
}

TEST(StoreKillTest, KilledWriterLeavesEveryAcknowledgedRecordAndDataset) {
    TempDir dir;
    const uint64_t seed = static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed());
    std::mt19937_64 rng(seed);
    Model model;
    uint64_t acked = 0, in_flight = 0, left = 0;
    for (int kill = 0; kill < 45; ++kill) {
        const bool in_create = kill % 3 == 2;
        const int delay = static_cast<int>(in_create ? 1000 : rng() % 8 == 0 ? 50 + rng() % 150 : rng() % 30);
        const Round round = run_and_kill(dir.path(), model, rng(), delay, in_create ? 1 + rng() % 12 : 0);
        ASSERT_FALSE(round.writer_failed) << "kill " << kill;
        for (const Msg& m : round.done) apply(model, m);
        acked += round.done.size();
        in_flight += round.in_flight.has_value();
        const std::string context = fmt::format("seed {}, kill {}", seed, kill);
        const size_t found = leftovers(dir.path());
        {
            auto ro = Store::open(dir.path(), testing::small_store_config(true, true));
            ASSERT_TRUE(ro.ok()) << ro.error().to_string();
            expect_listed_open(*ro, context);
        }
        EXPECT_EQ(leftovers(dir.path()), found) << context << ": a read-only store changed the directory";
        left += found;
        auto s = Store::open(dir.path(), store_config());
        ASSERT_TRUE(s.ok()) << s.error().to_string();
        EXPECT_EQ(leftovers(dir.path()), 0u) << context;
        check_journal(*s, model, context);
        check(*s, model, round.in_flight, context);
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(acked, 100u);
    EXPECT_GT(in_flight, 0u);
    EXPECT_GT(left, 0u);  // the kills did leave something to clear away
}

}  // namespace
}  // namespace brenvale
