#include "kill_harness.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "codec.h"
#include "dataset/dataset.h"
#include "file.h"
#include "format/stage.h"
#include "format/state.h"
#include "paths.h"

namespace brenvale::killtest {
namespace {

// ---- operations and the model ----

enum OpKind : uint8_t { kCreate, kWrite, kAppend, kDelete, kFlush, kReopen };

struct Op {
    uint8_t kind = kWrite;
    bool correction = false;  // a write at the latest timestamp
    int64_t ts = 0;
    uint32_t len = 0;
    uint64_t seed = 0;
};

std::string op_name(const Op& op) {
    switch (op.kind) {
        case kCreate: return "create";
        case kWrite: return op.correction ? "write (correction)" : "write";
        case kAppend: return "append";
        case kDelete: return "delete";
        case kFlush: return "flush";
        case kReopen: return "reopen";
    }
    return "?";
}

// Bytes of five bits each: they compress, but not to nothing.
std::vector<uint8_t> payload(uint32_t len, uint64_t seed) {
    std::vector<uint8_t> d(len);
    uint64_t x = seed * 0x9e3779b97f4a7c15ULL | 1;
    for (uint32_t i = 0; i < len; ++i) {
        if (i % 8 == 0) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        d[i] = static_cast<uint8_t>((x >> (8 * (i % 8))) & 0x1f);
    }
    return d;
}

struct Model {
    std::map<int64_t, std::vector<uint8_t>> live;
    std::set<int64_t> indexed;  // timestamps with an index entry, deleted ones included
    bool created = false;
    uint64_t invalid = 0;  // records counted invalid after the acknowledged changes
};

void apply(Model& m, const Op& op) {
    switch (op.kind) {
        case kCreate: m.created = true; break;
        case kWrite:
            m.live[op.ts] = payload(op.len, op.seed);
            m.indexed.insert(op.ts);
            break;
        case kAppend: {
            if (op.len == 0) break;
            auto d = payload(op.len, op.seed);
            auto it = m.live.find(op.ts);
            if (it != m.live.end()) it->second.insert(it->second.end(), d.begin(), d.end());
            else m.live[op.ts] = std::move(d);
            m.indexed.insert(op.ts);
            break;
        }
        case kDelete: m.live.erase(op.ts); break;
        default: break;
    }
}

// ---- dataset kinds ----

struct Kind {
    bool continuous;
    uint8_t compress_type;
};

const Kind kKinds[4] = {{false, 0}, {true, 0}, {false, 1}, {true, 1}};
const DataSetKey kKey{"kill", "ds"};

std::string kind_name(int k) {
    return fmt::format("{}/{}", kKinds[k].continuous ? "continuous" : "sparse",
                       kKinds[k].compress_type == 0 ? "zstd" : "deflate");
}

DatasetConfig config_of(const Kind& k) {
    DatasetConfig c;
    c.data_segment_size = 512 << 10;  // a few sealed blocks per file: seals and roll-overs often
    c.initial_data_segment_size = 64 << 10;  // three grows per file
    c.index_segment_size = 1024;              // a few dozen entries per index file
    c.initial_index_segment_size = 256;
    c.index_continuous = k.continuous ? 1 : 0;
    c.compress_type = k.compress_type;
    c.compress_level = 1;
    return c;
}

// The writer runs like a store: with a block cache and a dirty list on some kinds, without
// on the others.
Dataset equip(Dataset d, int kind) {
    (void)d.set_identifier(1);
    DatasetRuntime rt;
    if (kKinds[kind].compress_type == 0) rt.block_cache = std::make_shared<BlockCache>(1 << 20);
    if (kind == 0 || kind == 3) rt.dirty_list = std::make_shared<DirtyList>();
    (void)d.attach_runtime(rt);
    return d;
}

// ---- the writer process ----

struct Msg {
    uint8_t type = 0;  // 'I': about to run; 'D': returned; 'E': the writer failed
    uint8_t kind = 0;
    uint8_t refused = 0;
    uint8_t correction = 0;
    uint32_t len = 0;
    int64_t ts = 0;
    uint64_t seed = 0;
    uint64_t invalid = 0;  // 'D': the records the dataset counts invalid after the op
    char text[224] = {};
};
static_assert(sizeof(Msg) == 256);  // below PIPE_BUF: each message is written whole

Msg msg_of(char type, const Op& op) {
    Msg m;
    m.type = static_cast<uint8_t>(type);
    m.kind = op.kind;
    m.correction = op.correction;
    m.len = op.len;
    m.ts = op.ts;
    m.seed = op.seed;
    return m;
}

Op op_of(const Msg& m) { return Op{m.kind, m.correction != 0, m.ts, m.len, m.seed}; }

void send(int fd, const Msg& m) {
    if (::write(fd, &m, sizeof m) != static_cast<ssize_t>(sizeof m)) _exit(9);
}

[[noreturn]] void writer_fail(int fd, const std::string& text) {
    Msg m;
    m.type = 'E';
    std::snprintf(m.text, sizeof m.text, "%s", text.c_str());
    send(fd, m);
    _exit(3);
}

uint32_t draw_size(std::mt19937_64& rng) {
    const unsigned p = static_cast<unsigned>(rng() % 100);
    if (p < 75) return 1 + static_cast<uint32_t>(rng() % 2000);
    if (p < 99) return 2000 + static_cast<uint32_t>(rng() % 18000);
    return 270000 + static_cast<uint32_t>(rng() % 20000);  // a block of its own
}

// Random operations until killed. Timestamps for out-of-order writes and deletes come from
// the model the parent handed over (inherited through fork) and what this run adds.
[[noreturn]] void writer(const std::string& path, int kind, Model model, uint64_t seed, bool rewrite_one, int fd) {
    std::mt19937_64 rng(seed);
    std::vector<int64_t> indexed(model.indexed.begin(), model.indexed.end());
    const DatasetConfig cfg = config_of(kKinds[kind]);
    std::optional<Dataset> d;
    auto meta = path_exists(join_path(path, "meta"));
    if (!meta.ok()) writer_fail(fd, "writer: " + meta.error().to_string());
    if (!*meta) {
        Op op{kCreate, false, 0, 0, 0};
        send(fd, msg_of('I', op));
        auto created = Dataset::create(kKey, path, cfg);
        if (!created.ok()) writer_fail(fd, "writer create: " + created.error().to_string());
        d.emplace(equip(std::move(*created), kind));
        send(fd, msg_of('D', op));
    } else {
        auto opened = Dataset::open(kKey, path);
        if (!opened.ok()) writer_fail(fd, "writer open: " + opened.error().to_string());
        d.emplace(equip(std::move(*opened), kind));
    }
    for (;;) {
        const auto latest = d->latest_timestamp();
        const unsigned p = static_cast<unsigned>(rng() % 100);
        Op op;
        op.seed = rng();
        op.len = draw_size(rng);
        if (rewrite_one) {
            op.kind = kWrite;
            op.len = 1 + static_cast<uint32_t>(rng() % 2000);
            if (model.live.size() < 3) op.ts = latest ? *latest + 1 : 1;
            else op.ts = std::next(model.live.begin())->first;
        } else if (!latest || p < 40) {
            op.kind = rng() % 8 == 0 ? kAppend : kWrite;
            op.ts = latest ? *latest + 1 + static_cast<int64_t>(rng() % 3) : 1000 + static_cast<int64_t>(rng() % 1000);
        } else if (p < 50) {
            op.kind = kWrite;
            op.correction = true;
            op.ts = *latest;
        } else if (p < 58) {
            op.kind = kAppend;
            op.ts = *latest;
            op.len = 1 + static_cast<uint32_t>(rng() % 500);
        } else if (p < 72) {
            op.kind = kWrite;
            if (kKinds[kind].continuous && !indexed.empty()) {
                const int64_t lo = *std::min_element(indexed.begin(), indexed.end());
                op.ts = lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(*latest - lo + 1));
            } else {
                op.ts = indexed.empty() ? *latest : indexed[rng() % indexed.size()];
            }
            op.correction = op.ts == *latest;
        } else if (p < 84) {
            op.kind = kDelete;
            op.len = 0;
            op.ts = indexed.empty() ? *latest : indexed[rng() % indexed.size()];
            for (int tries = 0; tries < 4 && !model.live.count(op.ts) && !indexed.empty(); ++tries)
                op.ts = indexed[rng() % indexed.size()];
        } else if (p < 86) {
            op.kind = kFlush;  // flushes and reopens wait for the disk: rarer, or they draw the kills
            op.len = 0;
        } else if (p < 87) {
            op.kind = kReopen;
            op.len = 0;
        } else {
            op.kind = kWrite;
            op.ts = *latest + 1 + static_cast<int64_t>(rng() % 3);
        }

        // The bytes are made before the op is announced, so that a kill inside the
        // announced window falls into the engine's work.
        const std::vector<uint8_t> data = payload(op.len, op.seed);
        send(fd, msg_of('I', op));
        Status st;
        switch (op.kind) {
            case kWrite: st = d->write(op.ts, data); break;
            case kAppend: st = d->append(op.ts, data); break;
            case kDelete: st = d->delete_record(op.ts); break;
            case kFlush: st = d->flush(); break;
            case kReopen: {
                st = d->close();
                if (!st.ok()) break;
                d.reset();
                auto opened = Dataset::open(kKey, path);
                if (!opened.ok()) writer_fail(fd, "writer reopen: " + opened.error().to_string());
                d.emplace(equip(std::move(*opened), kind));
                break;
            }
            default: break;
        }
        Msg done = msg_of('D', op);
        if (auto in = d->inspect(); in.ok()) done.invalid = in->state.total_invalid_record_count;
        if (!st.ok()) {
            // Refusals change nothing: deleting a deleted record, an out-of-order write with no
            // entry to replace, an append to a record that is no longer the last of its block
            // or does not fit beside it.
            const Error& e = st.error();
            const bool refusal = e.kind() == ErrorKind::NotFound || e.kind() == ErrorKind::SegmentFull ||
                                 (e.kind() == ErrorKind::InvalidData && op.kind == kAppend &&
                                  e.detail().rfind("append", 0) == 0);
            if (!refusal) writer_fail(fd, fmt::format("writer {}: {}", op_name(op), e.to_string()));
            done.refused = 1;
        } else {
            apply(model, op);
            if (op.kind == kWrite || op.kind == kAppend) indexed.push_back(op.ts);
        }
        send(fd, done);
    }
}

// ---- the checker process ----

struct CheckResult {
    int32_t in_flight = -1;  // the op in flight: 0 left the old value, 1 the new one, -1 none
    int32_t wrote = 0;       // the checker's own write succeeded
    int64_t wrote_ts = 0;
    uint64_t invalid = 0;    // records counted invalid at rest after the checker's write
    char cls[200] = {};      // the first failure of the writable checks
    char detail[300] = {};
    char ro_cls[200] = {};   // the first failure of the read-only checks
    char ro_detail[300] = {};
};

// Failure classes group messages: numbers become N and paths <path>.
std::string normalize(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        if (std::isdigit(static_cast<unsigned char>(s[i]))) {
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            out += 'N';
        } else if (s[i] == '/' && (i == 0 || s[i - 1] == ' ')) {
            while (i < s.size() && s[i] != ' ' && s[i] != ':' && s[i] != ',') ++i;
            out += "<path>";
        } else {
            out += s[i++];
        }
    }
    return out;
}

std::vector<uint8_t> checker_payload(int64_t ts) { return payload(64, static_cast<uint64_t>(ts) ^ 0xc0ffee); }

// What inspect counts (records, block bytes, record bytes), to set beside what the files
// at rest hold.
using Counts = std::array<uint64_t, 4>;
Counts counts_of(Dataset& d) {
    auto in = d.inspect();
    return in.ok() ? Counts{in->state.total_record_count, in->state.total_data_size, in->state.total_uncompressed_size,
                            in->state.total_invalid_record_count}
                   : Counts{};
}

struct Checker {
    const std::string& path;
    const Model& acked;
    const std::optional<Op>& flight;
    Model after;  // the model with the op in flight done
    CheckResult r;

    // slot: r.cls or r.ro_cls; the detail goes beside it.
    void fail(char* slot, const std::string& cls, const std::string& detail) {
        if (slot[0] != 0) return;
        std::snprintf(slot, sizeof r.cls, "%s", cls.c_str());
        char* d = slot == r.cls ? r.detail : r.ro_detail;
        std::snprintf(d, sizeof r.detail, "%s", detail.c_str());
    }

    bool in_flight_ts(int64_t ts) const {
        return flight && (flight->kind == kWrite || flight->kind == kAppend || flight->kind == kDelete) &&
               flight->ts == ts;
    }

    std::set<int64_t> keys() const {
        std::set<int64_t> k;
        for (const auto& [ts, v] : acked.live) k.insert(ts);
        if (flight && in_flight_ts(flight->ts)) k.insert(flight->ts);
        return k;
    }

    // Reads every record of the model; returns false after the first failure.
    bool check_reads(Dataset& d, char* slot, const std::string& stage, bool resolve) {
        for (int64_t ts : keys()) {
            auto got = d.read(ts);
            const bool flying = in_flight_ts(ts);
            if (!got.ok()) {
                fail(slot,
                     flying ? fmt::format("{}in-flight {} record unreadable: {}", stage, op_name(*flight),
                                          normalize(got.error().to_string()))
                            : fmt::format("{}read: {}", stage, normalize(got.error().to_string())),
                     fmt::format("timestamp {}: {}", ts, got.error().to_string()));
                return false;
            }
            auto same = [&](const Model& m) {
                auto it = m.live.find(ts);
                return it == m.live.end() ? !got->has_value() : got->has_value() && (*got)->data == it->second;
            };
            const bool old_value = same(acked);
            const bool new_value = flying && same(after);
            if (!old_value && !new_value) {
                auto it = acked.live.find(ts);
                const std::string detail = fmt::format(
                    "timestamp {}: {} bytes read, {} acknowledged{}", ts,
                    got->has_value() ? std::to_string((*got)->data.size()) : std::string("none"),
                    it == acked.live.end() ? std::string("none") : std::to_string(it->second.size()),
                    flying ? fmt::format(", {} after the op in flight",
                                         after.live.count(ts) ? std::to_string(after.live.at(ts).size())
                                                              : std::string("none"))
                           : std::string());
                fail(slot,
                     flying ? fmt::format("{}in-flight {} record neither old nor new", stage, op_name(*flight))
                            : fmt::format("{}acknowledged record {}", stage,
                                          got->has_value() ? "changed" : "lost"),
                     detail);
                return false;
            }
            if (resolve && flying) r.in_flight = new_value && !old_value ? 1 : 0;
        }
        return true;
    }

    void run() {
        if (flight) {
            after = acked;
            apply(after, *flight);
        }
        auto meta = path_exists(join_path(path, "meta"));
        if (!meta.ok() || !*meta) {
            if (acked.created) fail(r.cls, "dataset meta missing", "");
            r.in_flight = 0;
            return;
        }
        if (flight && flight->kind == kCreate) r.in_flight = 1;

        // A read-only open first: it must read the files as the kill left them. Its counts,
        // those after the writable open and after the full read must all be those of the
        // records the files hold after the close.
        std::vector<std::pair<std::string, Counts>> counts;
        {
            auto ro = Dataset::open_read_only(kKey, path);
            if (!ro.ok()) {
                fail(r.ro_cls, "read-only open: " + normalize(ro.error().to_string()), ro.error().to_string());
            } else {
                DatasetRuntime rt;
                rt.read_only = true;
                (void)ro->attach_runtime(rt);
                counts.emplace_back("read-only open", counts_of(*ro));
                check_reads(*ro, r.ro_cls, "read-only ", false);
                (void)ro->close();
            }
        }

        auto opened = Dataset::open(kKey, path);
        if (!opened.ok()) {
            fail(r.cls, "writable open: " + normalize(opened.error().to_string()), opened.error().to_string());
            return;
        }
        Dataset d = std::move(*opened);
        (void)d.set_identifier(9);
        DatasetRuntime rt;
        rt.block_cache = std::make_shared<BlockCache>(1 << 20);
        (void)d.attach_runtime(rt);
        counts.emplace_back("writable open", counts_of(d));
        if (!check_reads(d, r.cls, "", true)) return;
        const Model& m = r.in_flight == 1 ? after : acked;

        auto all = d.query_all(INT64_MIN, INT64_MAX);
        if (!all.ok()) return fail(r.cls, "query_all: " + normalize(all.error().to_string()), all.error().to_string());
        std::vector<int64_t> expected;
        for (const auto& [ts, v] : m.live) expected.push_back(ts);
        auto timestamps = [](const std::vector<Record>& rs) {
            std::vector<int64_t> out;
            for (const auto& rec : rs) out.push_back(rec.timestamp);
            return out;
        };
        if (timestamps(*all) != expected)
            return fail(r.cls, "query_all differs from the model",
                        fmt::format("{} records listed, {} expected", all->size(), expected.size()));
        for (const auto& rec : *all)
            if (rec.data != m.live.at(rec.timestamp))
                return fail(r.cls, "query_all record differs", fmt::format("timestamp {}", rec.timestamp));

        auto fwd = d.query(INT64_MIN, INT64_MAX);
        auto fwd_all = fwd.ok() ? fwd->collect_all() : Result<std::vector<Record>>(fwd.error());
        if (!fwd_all.ok()) return fail(r.cls, "iterator: " + normalize(fwd_all.error().to_string()), "");
        if (*fwd_all != *all) return fail(r.cls, "forward iterator differs from query_all", "");
        auto back = d.query(INT64_MIN, INT64_MAX);
        auto back_all = back.ok() ? back->reverse().collect_all() : Result<std::vector<Record>>(back.error());
        if (!back_all.ok()) return fail(r.cls, "iterator: " + normalize(back_all.error().to_string()), "");
        std::reverse(back_all->begin(), back_all->end());
        if (*back_all != *all) return fail(r.cls, "backward iterator differs from query_all", "");
        auto lens = d.query_length_all(INT64_MIN, INT64_MAX);
        if (!lens.ok() || lens->size() != all->size())
            return fail(r.cls, "query_length_all differs from query_all", "");
        for (size_t i = 0; i < all->size(); ++i)
            if ((*lens)[i].length != (*all)[i].data.size() || (*lens)[i].timestamp != (*all)[i].timestamp)
                return fail(r.cls, "query_length_all differs from query_all", "");

        if (!m.live.empty()) {
            const int64_t lo = m.live.begin()->first - 3;
            const int64_t hi = m.live.rbegin()->first + 3;
            auto bits = d.query_exist(lo, hi);
            if (!bits.ok()) return fail(r.cls, "query_exist: " + normalize(bits.error().to_string()), "");
            for (int64_t ts = lo; ts <= hi; ++ts) {
                const uint64_t i = static_cast<uint64_t>(ts - lo);
                const bool set = ((*bits)[i / 8] >> (i % 8)) & 1;
                if (set != (m.live.count(ts) != 0))
                    return fail(r.cls, "existence bitmap differs from the model", fmt::format("timestamp {}", ts));
            }
        }

        counts.emplace_back("full read", counts_of(d));
        const auto latest = d.latest_timestamp();
        if (Status c = d.close(); !c.ok())
            return fail(r.cls, "close: " + normalize(c.error().to_string()), c.error().to_string());
        if (!at_rest("")) return;
        for (const auto& [stage, c] : counts)
            if (c != present)
                fail(stage[0] == 'r' ? r.ro_cls : r.cls,
                     "counts after the " + stage + " differ from the records present",
                     fmt::format("{} counted, {} present", fmt::join(c, "/"), fmt::join(present, "/")));
        // Every acknowledged change that took a live record's entry counted it once; so did the
        // change in flight when it took effect (a correction made in place takes none).
        uint64_t lo = acked.invalid, hi = acked.invalid;
        if (flight && r.in_flight == 1 && acked.live.count(flight->ts) != 0) {
            if (flight->kind == kDelete || (flight->kind == kWrite && !flight->correction)) lo = hi = lo + 1;
            else if (flight->kind == kWrite) hi += 1;
        }
        // A write killed between storing its record and its index entry leaves that record
        // counted invalid.
        if (flight && r.in_flight != 1 && (flight->kind == kWrite || flight->kind == kAppend)) hi += 1;
        if (present[3] < lo || present[3] > hi)
            fail(r.cls, "invalid records counted differ from the changes made",
                 fmt::format("{} counted, {} to {} made", present[3], lo, hi));
        // Records counted minus those counted invalid are the records the dataset holds.
        if (present[0] - present[3] != m.live.size())
            fail(r.cls, "records counted minus invalid differ from the records held",
                 fmt::format("{} counted, {} invalid, {} held", present[0], present[3], m.live.size()));

        // The dataset takes a new record. On an empty dataset the write goes below the
        // writer's first timestamps, where nothing may block it.
        auto again = Dataset::open(kKey, path);
        if (!again.ok()) return fail(r.cls, "second open: " + normalize(again.error().to_string()), "");
        r.wrote_ts = latest ? *latest + 1 : 500;
        Status w = again->write(r.wrote_ts, checker_payload(r.wrote_ts));
        if (!w.ok()) return fail(r.cls, "write after reopen: " + normalize(w.error().to_string()), w.error().to_string());
        r.wrote = 1;
        auto back_read = again->read(r.wrote_ts);
        if (!back_read.ok() || !back_read->has_value() || (*back_read)->data != checker_payload(r.wrote_ts))
            return fail(r.cls, "write after reopen: read back differs", "");
        Status c = again->close();
        if (!c.ok()) return fail(r.cls, "close: " + normalize(c.error().to_string()), c.error().to_string());
        if (at_rest("after a write ")) r.invalid = present[3];
    }

    Counts present;
    // After a close every file parses in its documented layout; present gets what they hold.
    bool at_rest(const std::string& stage) {
        SegmentStats t;
        const std::string fault = check_files_at_rest(path, &t);
        if (!fault.empty()) fail(r.cls, "files at rest " + stage + "outside their layout: " + normalize(fault), fault);
        present = {t.record_count, t.written_length, t.raw_record_bytes, t.invalid_record_count};
        return fault.empty();
    }
};

// ---- the parent ----

struct KindState {
    Model model;
    uint32_t rounds = 0;
};

// Reads the writer's messages until the deadline, kills it, then reads the rest.
std::vector<Msg> run_writer(const std::string& path, int kind, const Model& model, uint64_t seed,
                            bool rewrite_one, std::chrono::microseconds delay, int* status) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        writer(path, kind, model, seed, rewrite_one, fds[1]);
    }
    ::close(fds[1]);
    std::vector<Msg> msgs;
    std::vector<char> buf;
    auto drain = [&](int timeout_ms) -> bool {  // false at end of stream
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return true;
        char tmp[8192];
        ssize_t n = ::read(fds[0], tmp, sizeof tmp);
        if (n <= 0) return false;
        buf.insert(buf.end(), tmp, tmp + n);
        while (buf.size() >= sizeof(Msg)) {
            Msg m;
            std::memcpy(&m, buf.data(), sizeof m);
            msgs.push_back(m);
            buf.erase(buf.begin(), buf.begin() + sizeof(Msg));
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + delay;
    bool open = true;
    while (open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) break;
        open = drain(static_cast<int>(std::max<int64_t>(1, left.count())));
    }
    ::kill(pid, SIGKILL);
    while (open) open = drain(1000);
    ::close(fds[0]);
    ::waitpid(pid, status, 0);
    return msgs;
}

CheckResult run_checker(const std::string& path, const Model& model, const std::optional<Op>& flight,
                        int* status) {
    CheckResult r;
    int fds[2];
    if (::pipe(fds) != 0) return r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Checker c{path, model, flight, {}, {}, {}};
        c.run();
        if (::write(fds[1], &c.r, sizeof c.r) != static_cast<ssize_t>(sizeof c.r)) _exit(9);
        _exit(0);
    }
    ::close(fds[1]);
    size_t got = 0;
    while (got < sizeof r) {
        ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&r) + got, sizeof r - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    ::waitpid(pid, status, 0);
    if (got != sizeof r) {
        r = CheckResult{};
        std::snprintf(r.cls, sizeof r.cls, "checker ended abnormally (%s)",
                      WIFSIGNALED(*status) ? strsignal(WTERMSIG(*status)) : "no result");
    }
    return r;
}

// Copies the files as the kill left them (before a checker repairs anything) when failures
// are to be kept.
void snapshot(const Options& o, const std::string& path, const std::string& to) {
    if (o.keep_failures.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(to, ec);
    std::filesystem::copy(path, to, std::filesystem::copy_options::recursive, ec);
    if (ec) std::ofstream(to + "/SNAPSHOT-INCOMPLETE") << ec.message() << "\n";
}

void keep_failure(const Options& o, const std::string& path, uint64_t kill, int kind, const Model& m,
                  const std::optional<Op>& flight, const std::string& cls, const std::string& detail) {
    if (o.keep_failures.empty()) return;
    const std::string to = fmt::format("{}/kill-{:05}-kind-{}", o.keep_failures, kill, kind);
    std::error_code ec;
    std::filesystem::create_directories(to, ec);
    std::filesystem::copy(path, to + "/ds", std::filesystem::copy_options::recursive, ec);
    std::ofstream f(to + "/README.txt");
    f << "kind: " << kind_name(kind) << "\nclass: " << cls << "\ndetail: " << detail << "\n";
    if (flight)
        f << "in flight: " << op_name(*flight) << " ts " << flight->ts << " len " << flight->len << " seed "
          << flight->seed << "\n";
    f << "acknowledged records: " << m.live.size() << "\n";
    for (const auto& [ts, v] : m.live) f << ts << " " << v.size() << "\n";
}

// ---- files at rest ----

// Exactly `count` frames tiling a payload, added to s.
bool add_frames(const uint8_t* p, uint64_t size, uint64_t count, SegmentStats& s) {
    uint64_t off = 0, i = 0;
    for (; i < count && size - off >= kFrameHeadLen && framed_size(load_u32(p + off)) <= size - off; ++i) {
        const int64_t ts = load_i64(p + off + frame_at::kTimestamp);
        s.record_count += 1;
        s.raw_record_bytes += kFrameHeadLen + load_u32(p + off);
        s.min_timestamp = std::min(s.min_timestamp, ts);
        s.max_timestamp = std::max(s.max_timestamp, ts);
        off += framed_size(load_u32(p + off));
    }
    return i == count && off == size;
}

std::vector<std::string> names_in(const std::string& dir) {
    auto names = list_dir(dir);
    return names.ok() ? *names : std::vector<std::string>{};
}

std::string check_data_segment(const std::string& path, SegmentStats& s) {
    auto file = read_file(path);
    const std::span<const uint8_t> b(reinterpret_cast<const uint8_t*>(file.ok() ? file->data() : ""),
                                     file.ok() ? file->size() : 0);
    auto h = DataHeader::read(b);
    if (!h.ok()) return "header: " + h.error().to_string();
    const DataSegmentState& st = h->state;
    if (h->prefix.version != 1 || h->prefix.file_type != kFileTypeData || h->header_length != kDataHeaderLen ||
        st.wrote_position < kDataHeaderLen || st.wrote_position > b.size())
        return "header fields";
    const uint64_t end = st.wrote_position - kDataHeaderLen;
    const bool pending = st.pending_position != kNoPendingBlock;
    if (!pending && (st.pending_wrote_position != 0 || st.pending_count != 0)) return "pending fields without a block";
    bool pending_seen = false;
    for (uint64_t pos = 0; pos < end;) {
        const BlockHeader bh = BlockHeader::read(b, kDataHeaderLen + pos);
        const uint8_t* payload = b.data() + kDataHeaderLen + pos + kBlockHeaderLen;
        const uint64_t next = pos + kBlockHeaderLen + bh.payload_size;
        bool ok = end - pos >= kBlockHeaderLen && next <= end;
        if (ok && pending && pos == st.pending_position) {
            pending_seen = true;
            ok = bh.flags == 0 && bh.payload_size == bh.uncompressed_size &&
                 bh.payload_size == st.pending_wrote_position && bh.record_count == st.pending_count && next == end &&
                 add_frames(payload, bh.payload_size, bh.record_count, s);
        } else if (ok) {
            auto d = codec::decompress({payload, bh.payload_size}, h->meta.compress_type, bh.uncompressed_size);
            const bool single = bh.flags == BlockHeader::kSingleFlags && bh.record_count == 1;
            ok = (bh.flags == BlockHeader::kSealedFlags || single) && d.ok() && d->size() == bh.uncompressed_size &&
                 add_frames(d->data(), d->size(), bh.record_count, s);
        }
        if (!ok) return fmt::format("block at {} (flags {:#x}, {} records)", pos, bh.flags, bh.record_count);
        pos = next;
    }
    s.written_length = end;
    s.invalid_record_count = st.invalid_record_count;
    if (pending != pending_seen) return "pending block is not the last block";
    if (st.record_count != s.record_count || st.raw_record_bytes != s.raw_record_bytes ||
        st.min_timestamp != s.min_timestamp || st.max_timestamp != s.max_timestamp ||
        st.invalid_record_count > s.record_count)
        return fmt::format("header counts {} records of {} bytes, the blocks hold {} of {}", st.record_count,
                           st.raw_record_bytes, s.record_count, s.raw_record_bytes);
    return {};
}

}  // namespace

std::string check_files_at_rest(const std::string& dir, SegmentStats* totals) {
    const std::string data_dir = paths::data_dir(dir), index_dir = paths::index_dir(dir);
    SegmentStats folded;
    *totals = SegmentStats{};
    auto state = read_file(paths::state_file(dir));
    const auto* state_bytes = reinterpret_cast<const uint8_t*>(state.ok() ? state->data() : "");
    auto decoded = state.ok() ? DatasetStateRecord::decode(state_bytes, state->size())
                              : Result<std::pair<DatasetStateRecord, bool>>(state.error());
    if (state.ok() && (!decoded.ok() || state->size() != kStateRecordLength)) return "state file";
    for (const std::string& name : names_in(data_dir)) {
        if (name == paths::kStageFile) {  // kept at its full length for the next change
            auto stage = read_file(join_path(data_dir, name));
            if (!stage.ok() || stage->size() < stage_file_length()) return "stage file short";
            continue;
        }
        auto base = parse_segment_file_name(name);
        if (!base || name != segment_file_name(*base)) return "data directory holds " + name;
        SegmentStats s;
        if (auto fault = check_data_segment(join_path(data_dir, name), s); !fault.empty())
            return "data segment " + name + ": " + fault;
        for (SegmentStats* sum : {totals, &folded}) {
            if (sum == &folded && (!decoded.ok() || *base >= decoded->first.stats_watermark)) continue;
            *sum = {0, sum->record_count + s.record_count, sum->written_length + s.written_length,
                    sum->raw_record_bytes + s.raw_record_bytes, sum->invalid_record_count + s.invalid_record_count,
                    std::min(sum->min_timestamp, s.min_timestamp), std::max(sum->max_timestamp, s.max_timestamp)};
        }
    }
    for (const std::string& name : names_in(index_dir)) {
        auto start = parse_index_segment_name(name);
        auto file = read_file(join_path(index_dir, name));
        auto h = file.ok() ? IndexHeader::read({reinterpret_cast<const uint8_t*>(file->data()), file->size()})
                           : Result<IndexHeader>(file.error());
        if (!start || name != index_segment_file_name(*start) || !h.ok() || h->wrote_position > file->size() ||
            (h->wrote_position - kIndexHeaderLen) % 32 != 0)
            return "index segment " + name;
        if (count_due_room(*h) && file->find_first_not_of('\0', count_due_at::kRecordFrom) < count_due_at::kEnd)
            return "index segment " + name + " keeps a change record";  // settled, it reads zero
    }
    const DatasetStateRecord f = decoded.ok() ? decoded->first : DatasetStateRecord{};
    if (f.total_record_count != folded.record_count || f.total_data_size != folded.written_length ||
        f.total_uncompressed_size != folded.raw_record_bytes ||
        f.total_invalid_record_count != folded.invalid_record_count)
        return fmt::format("state totals {} records of {} bytes, {} invalid; the segments below {} hold {} of {}, {}",
                           f.total_record_count, f.total_uncompressed_size, f.total_invalid_record_count,
                           f.stats_watermark, folded.record_count, folded.raw_record_bytes,
                           folded.invalid_record_count);
    return {};
}

Report run(const Options& o) {
    Report rep;
    std::string root = o.dir;
    bool own_root = false;
    if (root.empty()) {
        char tmpl[] = "/tmp/brenvale-kill-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) return rep;
        root = tmpl;
        own_root = true;
    }
    std::mt19937_64 rng(o.seed);
    KindState states[4];
    auto count = [&](const std::string& cls, uint64_t kill, int kind, const std::string& detail) {
        Failure& f = rep.failures[cls];
        if (f.count++ == 0) f.example = fmt::format("kill {} ({}): {}", kill, kind_name(kind), detail);
    };
    for (uint64_t kill = 0; kill < o.kills; ++kill) {
        const int kind = static_cast<int>(kill % 4);
        KindState& st = states[kind];
        const std::string path = fmt::format("{}/kind-{}", root, kind);
        if (st.rounds >= o.rounds_per_dataset) {
            (void)remove_dir_all(path);
            st = KindState{};
        }
        ++st.rounds;
        // Some kills land while the writer opens or creates the dataset and writes its first
        // records, most within the first tens of milliseconds, a few later.
        const unsigned span = static_cast<unsigned>(rng() % 10);
        uint64_t delay_us = rng() % (span < 2 ? 3000 : uint64_t{o.max_delay_ms} * 1000 + 1);
        if (span == 9) delay_us *= 5;
        int wstatus = 0;
        const std::vector<Msg> msgs =
            run_writer(path, kind, st.model, rng(), o.rewrite_one, std::chrono::microseconds(delay_us), &wstatus);
        ++rep.kills;

        std::optional<Op> flight;
        std::string writer_error;
        for (const Msg& m : msgs) {
            if (m.type == 'I') {
                flight = op_of(m);
            } else if (m.type == 'D') {
                if (!m.refused) apply(st.model, op_of(m));
                st.model.invalid = m.invalid;
                ++rep.acked_ops;
                flight.reset();
            } else if (m.type == 'E') {
                writer_error = std::string(m.text, strnlen(m.text, sizeof m.text));
            }
        }
        bool failed = false;
        if (!writer_error.empty()) {
            count(normalize(writer_error), kill, kind, writer_error);
            snapshot(o, path, fmt::format("{}/snapshot-{}", root, kind));
            keep_failure(o, fmt::format("{}/snapshot-{}", root, kind), kill, kind, st.model, flight,
                         normalize(writer_error), writer_error);
            failed = true;
        } else if (!(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL)) {
            count("writer ended before the kill", kill, kind, fmt::format("status {}", wstatus));
            failed = true;
        }
        if (flight) ++rep.killed_in_flight;

        const std::string before_check = fmt::format("{}/snapshot-{}", root, kind);
        snapshot(o, path, before_check);
        int cstatus = 0;
        const CheckResult r = run_checker(path, st.model, flight, &cstatus);
        const std::string cls(r.cls, strnlen(r.cls, sizeof r.cls));
        const std::string ro_cls(r.ro_cls, strnlen(r.ro_cls, sizeof r.ro_cls));
        const std::string detail(r.detail, strnlen(r.detail, sizeof r.detail));
        const std::string ro_detail(r.ro_detail, strnlen(r.ro_detail, sizeof r.ro_detail));
        if (!ro_cls.empty()) count(ro_cls, kill, kind, ro_detail);
        if (!cls.empty()) count(cls, kill, kind, detail);
        if (!cls.empty() || !ro_cls.empty()) {
            keep_failure(o, before_check, kill, kind, st.model, flight, cls.empty() ? ro_cls : cls,
                         cls.empty() ? ro_detail : detail);
            failed = true;
        }
        if (o.verbose)
            fmt::print("kill {:5} {:18} {:4} msgs{}{}\n", kill, kind_name(kind), msgs.size(),
                       flight ? " in flight: " + op_name(*flight) : std::string(),
                       failed ? " FAILED: " + (cls.empty() ? ro_cls : cls) : std::string());
        if (failed) {
            (void)remove_dir_all(path);
            st = KindState{};
            continue;
        }
        if (flight && r.in_flight == 1) {
            ++rep.in_flight_new;
            apply(st.model, *flight);
        }
        if (r.wrote) apply(st.model, Op{kWrite, false, r.wrote_ts, 64, static_cast<uint64_t>(r.wrote_ts) ^ 0xc0ffee});
        st.model.invalid = r.invalid;
    }
    if (own_root) (void)remove_dir_all(root);
    return rep;
}

std::string format_report(const Report& r) {
    std::string out = fmt::format("kills: {}\nacknowledged operations: {}\nkills during an operation: {} ({} "
                                  "of them left the new value)\n",
                                  r.kills, r.acked_ops, r.killed_in_flight, r.in_flight_new);
    uint64_t total = 0;
    for (const auto& [cls, f] : r.failures) total += f.count;
    out += fmt::format("failures: {}\n", total);
    for (const auto& [cls, f] : r.failures) {
        out += fmt::format("  {:5}  {}\n         e.g. {}\n", f.count, cls, f.example);
    }
    return out;
}

}  // namespace brenvale::killtest
