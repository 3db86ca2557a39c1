#include "PortModel.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "StressFrames.h"

namespace stress {

namespace {

std::string Secs(Micros t)
{
    if (t == kNever) {
        return "(not yet)";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(t) / 1e6);
    return buf;
}

// Positions that stay in the model's memory below the settled ones, for diagnostics and for
// receives that report late.
constexpr int64_t kKeptBehind = int64_t{16} << 20;
// The serial line's rate after an open.
constexpr uint32_t kOpenRate = 600;

// The position of the byte after the first `skip` bytes of the stretches, or `otherwise`.
int64_t NthFromStart(const std::vector<std::pair<int64_t, int64_t>>& stretches, int64_t skip,
                     int64_t otherwise)
{
    for (const auto& [a, b] : stretches) {
        if (b - a > skip) {
            return a + skip;
        }
        skip -= b - a;
    }
    return otherwise;
}

int64_t NthFromEnd(const std::vector<std::pair<int64_t, int64_t>>& stretches, int64_t skip,
                   int64_t otherwise)
{
    for (auto it = stretches.rbegin(); it != stretches.rend(); ++it) {
        if (it->second - it->first > skip) {
            return it->second - 1 - skip;
        }
        skip -= it->second - it->first;
    }
    return otherwise;
}

} // namespace

const char* LinkName(Link link)
{
    switch (link) {
    case Link::Serial:
        return "tty";
    case Link::Modem:
        return "modem";
    case Link::Bluetooth:
        return "bluetooth";
    }
    return "?";
}

PortModel::PortModel(ModelRules rules, uint32_t streamSeed) : m_rules(rules), m_stream(streamSeed)
{
}

bool PortModel::Failed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_failure.empty();
}

std::string PortModel::Failure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

PortModel::Stats PortModel::GetStats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Stats s = m_stats;
    s.written = m_written;
    return s;
}

void PortModel::Fail(const std::string& why)
{
    if (m_failure.empty()) {
        m_failure = why;
    }
}

std::string PortModel::Pos(int64_t p) const
{
    std::ostringstream out;
    out << "position " << p;
    if (p < m_written && ChunkOf(p) != nullptr) {
        out << " (written " << Secs(WriteBegan(p)) << " to " << Secs(WriteEnded(p)) << ")";
    } else if (p >= m_written && p < m_intentEnd) {
        out << " (being written since " << Secs(WriteBegan(p)) << ")";
    }
    return out.str();
}

// ---- The phone ----

std::vector<uint8_t> PortModel::StreamBytes(int64_t from, size_t n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = m_stream.At(from + static_cast<int64_t>(i));
    }
    return out;
}

void PortModel::PhoneWriting(int64_t end, Micros t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_intentEnd = std::max(m_intentEnd, end);
    m_intentT = t; // the bytes not yet written go out with this write, if at all
}

void PortModel::PhoneWrote(int64_t begin, int64_t end, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (begin != m_written || end < begin) {
        Fail("the phone's writes are not consecutive (test fault)");
        return;
    }
    if (end > begin) {
        m_chunks.push_back({begin, end, tBegin, tEnd});
        m_written = end;
    }
    m_intentEnd = std::max(m_intentEnd, m_written);
}

int64_t PortModel::Written() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

int64_t PortModel::WrittenBefore(Micros t) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return WrittenBeforeLocked(t);
}

int64_t PortModel::WrittenBeforeLocked(Micros t) const
{
    // The phone writes one write after the other, so the ends are in order.
    auto it = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                   [&](const Chunk& c) { return c.tEnd < t; });
    if (it == m_chunks.begin()) {
        return m_chunks.empty() ? m_written : m_chunks.front().begin;
    }
    return std::prev(it)->end;
}

int64_t PortModel::Backlog() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t gone = std::max({OldBelow(kNever), m_maxReceived + 1, m_settled});
    return std::max<int64_t>(0, m_written - gone);
}

const PortModel::Chunk* PortModel::ChunkOf(int64_t pos) const
{
    auto it = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                   [&](const Chunk& c) { return c.end <= pos; });
    return it != m_chunks.end() && it->begin <= pos ? &*it : nullptr;
}

Micros PortModel::WriteBegan(int64_t pos) const
{
    if (pos >= m_written) {
        return m_intentT;
    }
    const Chunk* c = ChunkOf(pos);
    return c != nullptr ? c->tBegin : 0;
}

Micros PortModel::WriteEnded(int64_t pos) const
{
    if (pos >= m_written) {
        return kNever;
    }
    const Chunk* c = ChunkOf(pos);
    return c != nullptr ? c->tEnd : 0;
}

int64_t PortModel::FirstWrittenFrom(Micros t) const
{
    auto it = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                   [&](const Chunk& c) { return c.tBegin < t; });
    if (it != m_chunks.end()) {
        return it->begin;
    }
    // Bytes on their way since before t count as written before it.
    return m_intentT < t ? m_intentEnd : m_written;
}

void PortModel::PhoneGotFrame(int thread, uint32_t number, uint16_t length, Micros t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latest = std::max(m_latest, t);
    SendRec& s = m_sends[{thread, number}];
    if (s.arrived) {
        Fail("send " + std::to_string(number) + " of thread " + std::to_string(thread) +
             " reached the phone twice (the second time at " + Secs(t) + ")");
        return;
    }
    s.arrived = true;
    s.arrival = m_arrivals++;
    s.arrivedLength = length;
    ++m_stats.frames;
    auto last = m_lastArrived.find(thread);
    if (last != m_lastArrived.end() && number <= last->second) {
        Fail("send " + std::to_string(number) + " of thread " + std::to_string(thread) +
             " reached the phone after its send " + std::to_string(last->second));
        return;
    }
    m_lastArrived[thread] = number;
    if (s.recorded) {
        CheckSendArrival(thread, number, s);
    }
}

void PortModel::PhoneGotGarbage(size_t bytes, Micros t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latest = std::max(m_latest, t);
    bool explained =
        std::any_of(m_cutSends.begin(), m_cutSends.end(), [&](Micros began) { return began <= t; });
    for (const Event& e : m_events) {
        explained = explained ||
                    (m_rules.flushesOutput && e.tBegin <= t &&
                     (e.kind == EventKind::Clear || (e.kind == EventKind::Speed && e.mayDiscard)));
    }
    if (!explained) {
        Fail("the phone got " + std::to_string(bytes) + " bytes at " + Secs(t) +
             " that are no whole send, and no send was cut short");
    }
}

// ---- The host's calls ----

void PortModel::Begin(int thread, Op op, Micros t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inFlight[thread] = {op, t};
    m_latest = std::max(m_latest, t);
}

void PortModel::EndCall(int thread)
{
    m_inFlight.erase(thread);
}

bool PortModel::OverlapsReopen(int thread, Micros tBegin, Micros tEnd) const
{
    for (const Event& e : m_events) {
        if (e.kind == EventKind::Reopen && e.thread != thread && e.tBegin < tEnd &&
            tBegin < e.tEnd) {
            return true;
        }
    }
    for (const auto& [t, f] : m_inFlight) {
        if (t != thread && f.op == Op::Reopen && f.t < tEnd) {
            return true;
        }
    }
    return false;
}

int64_t PortModel::OldBelow(Micros before) const
{
    int64_t old = m_prunedOldBelow;
    for (const Event& e : m_events) {
        if (e.kind != EventKind::Speed && e.tEnd < before) {
            old = std::max(old, e.arrived);
        }
    }
    return old;
}

int64_t PortModel::LowerBound(const Receive& r) const
{
    int64_t low = m_prunedMax;
    for (const Receive& o : m_receives) {
        if (o.placed && o.tEnd < r.tBegin) {
            low = std::max(low, o.max);
        }
    }
    return low + 1;
}

PortModel::Judged PortModel::Judge(int64_t pos, int64_t b, Micros deadline) const
{
    Judged j{b, false, b};
    Micros wb, we;
    if (pos >= m_written) {
        wb = m_intentT;
        we = kNever;
    } else {
        const Chunk* c = ChunkOf(pos);
        if (c == nullptr) {
            return j; // forgotten: nothing can say it was thrown away
        }
        j.end = std::min(b, c->end);
        wb = c->tBegin;
        we = c->tEnd;
    }
    j.keptBelow = j.end;
    for (const Event& e : m_events) {
        if (e.tBegin >= deadline || wb >= e.tEnd) {
            continue;
        }
        if (e.kind != EventKind::Speed) {
            j.gone = true; // written before the clear or reopen ended
        } else if (m_rules.speedDiscards && e.mayDiscard) {
            // Protected are the bytes a reader running as designed had queued: written a grace
            // before the change, with the reader past its start pause by then.
            if (we > e.tBegin - m_rules.speedGrace ||
                e.readerFrom > e.tBegin - m_rules.speedGrace) {
                j.gone = true;
            } else if (e.head < j.keptBelow - m_rules.queueFloor) {
                j.keptBelow = std::max(pos, e.head + m_rules.queueFloor);
            }
        }
        if (j.gone) {
            j.keptBelow = pos;
            break;
        }
    }
    return j;
}

int64_t PortModel::FirstKept(int64_t a, int64_t b, Micros deadline) const
{
    for (int64_t pos = a; pos < b;) {
        Judged j = Judge(pos, b, deadline);
        if (j.keptBelow > pos) {
            return pos;
        }
        pos = j.end;
    }
    return b;
}

const PortModel::Receive* PortModel::ById(int id) const
{
    if (m_receives.empty() || id < m_receives.front().id || id > m_receives.back().id) {
        return nullptr;
    }
    return &m_receives[static_cast<size_t>(id - m_receives.front().id)];
}

PortModel::ReceiveBounds PortModel::TimeoutsFor(Micros tBegin, Micros tEnd) const
{
    // The time-out in effect is the last one set before the receive took the port: one of the
    // settings that ended before it began and may have come last, or one made beside it.
    std::vector<TimeoutEvent> all = m_timeouts;
    for (const Event& e : m_events) {
        if (e.kind == EventKind::Reopen) {
            all.push_back({e.tBegin, e.tEnd, 0}); // an open sets it to 0
        }
    }
    Micros latestStart = -1;
    for (const TimeoutEvent& t : all) {
        if (t.tEnd < tBegin) {
            latestStart = std::max(latestStart, t.tBegin);
        }
    }
    ReceiveBounds b{std::numeric_limits<uint32_t>::max(), 0};
    bool any = false;
    for (const TimeoutEvent& t : all) {
        bool before = t.tEnd < tBegin && t.tEnd >= latestStart;
        bool beside = t.tEnd >= tBegin && t.tBegin < tEnd;
        if (before || beside) {
            b.minTimeout = std::min(b.minTimeout, t.ms);
            b.maxTimeout = std::max(b.maxTimeout, t.ms);
            any = true;
        }
    }
    if (!any) {
        b = {0, 0};
    }
    return b;
}

bool PortModel::SameRate(uint32_t rate, Micros tBegin, Micros tEnd, int thread) const
{
    if (rate == 0) {
        return false;
    }
    for (const auto& [t, f] : m_inFlight) {
        if (t != thread && (f.op == Op::Speed || f.op == Op::Reopen) && f.t < tEnd) {
            return false; // its outcome is not known yet
        }
    }
    Micros latestStart = -1;
    for (const RateEvent& r : m_rates) {
        if (r.tEnd < tBegin) {
            latestStart = std::max(latestStart, r.tBegin);
        }
    }
    bool any = false;
    for (const RateEvent& r : m_rates) {
        bool before = r.tEnd < tBegin && r.tEnd >= latestStart;
        bool beside = r.tEnd >= tBegin && r.tBegin < tEnd;
        if (before || beside) {
            if (r.outcome != rate) {
                return false;
            }
            any = true;
        }
    }
    return any;
}

PortModel::ReceiveBounds PortModel::Received(int thread, int32_t n, const uint8_t* bytes, bool ok,
                                             Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    Receive r;
    r.id = m_nextReceive++;
    r.thread = thread;
    r.n = n;
    r.ok = ok;
    r.tBegin = tBegin;
    r.tEnd = tEnd;
    ReceiveBounds bounds = TimeoutsFor(tBegin, tEnd);
    for (const auto& [t, f] : m_inFlight) {
        if (t != thread && (f.op == Op::RxTimeout || f.op == Op::Reopen) && f.t < tEnd) {
            bounds.maxTimeout = std::max(bounds.maxTimeout, m_rules.mostTimeout);
            bounds.minTimeout = 0;
        }
    }
    ++m_stats.receives;
    if (ok && n > 0) {
        r.bytes.assign(bytes, bytes + n);
        m_receives.push_back(std::move(r));
        Receive& kept = m_receives.back();
        if (n >= kWindow && Place(kept)) {
            bounds.first = kept.min;
            bounds.last = kept.max;
            bounds.runs = kept.runs;
        }
    } else {
        if (!ok) {
            ++m_stats.timeouts;
            r.timeoutChecked = n <= 0;
        }
        m_receives.push_back(std::move(r));
    }
    Settle(false);
    return bounds;
}

bool PortModel::Place(Receive& r)
{
    const uint8_t* b = r.bytes.data();
    const int32_t n = r.n;
    const int64_t low = LowerBound(r);
    std::vector<std::pair<int64_t, int64_t>> runs;
    int32_t i = 0;
    int64_t from = low;
    auto where = [&](int32_t at) {
        return "receive #" + std::to_string(r.id) + " (thread " + std::to_string(r.thread) + ", " +
               std::to_string(n) + " bytes, " + Secs(r.tBegin) + " to " + Secs(r.tEnd) +
               "), its byte " + std::to_string(at);
    };
    while (i < n) {
        std::optional<int64_t> q;
        int32_t left = n - i;
        if (left >= kWindow) {
            q = m_stream.Find(b + i, from, m_intentEnd - kWindow + 1);
            if (!q) {
                std::optional<int64_t> earlier = m_stream.Find(b + i, m_stream.Base(), from);
                if (earlier) {
                    Fail(where(i) + ": bytes of " + Pos(*earlier) +
                         ", which lies before position " + std::to_string(from) +
                         " that an earlier receive or this one already took: doubled or out of "
                         "order");
                } else {
                    Fail(where(i) + ": bytes the phone never wrote at any position it wrote");
                }
                return false;
            }
        } else {
            // A short tail after a gap: no later than the first byte after the gap that nothing
            // may have thrown away, else at the first place it fits.
            int64_t firstKept =
                NthFromStart(KeptStretches(from, m_intentEnd, r.tEnd), 0, m_intentEnd);
            q = FitShortLast(b + i, left, from, std::min(firstKept, m_intentEnd - left));
            if (!q) {
                q = m_stream.FindShort(b + i, left, from, m_intentEnd - left + 1);
            }
            if (!q) {
                Fail(where(i) + ": its last " + std::to_string(left) + " bytes fit nowhere after " +
                     Pos(from - 1));
                return false;
            }
        }
        int32_t k = 0;
        while (i + k < n && *q + k < m_intentEnd && b[i + k] == m_stream.At(*q + k)) {
            ++k;
        }
        runs.emplace_back(*q, *q + k);
        i += k;
        from = *q + k + 1;
    }
    return CheckPlaced(r, runs);
}

std::vector<std::pair<int64_t, int64_t>> PortModel::KeptStretches(int64_t a, int64_t b,
                                                                  Micros deadline) const
{
    std::vector<std::pair<int64_t, int64_t>> kept;
    auto add = [&](int64_t from, int64_t to) {
        if (!kept.empty() && kept.back().second == from) {
            kept.back().second = to;
        } else {
            kept.emplace_back(from, to);
        }
    };
    for (int64_t pos = a; pos < b;) {
        Judged j = Judge(pos, b, deadline);
        // The kept stretch [pos, keptBelow), less what receives took.
        int64_t at = pos;
        auto it = m_recv.upper_bound(pos);
        if (it != m_recv.begin()) {
            --it;
        }
        for (; it != m_recv.end() && it->first < j.keptBelow && at < j.keptBelow; ++it) {
            if (it->first > at) {
                add(at, it->first);
            }
            at = std::max(at, it->second.first);
        }
        if (at < j.keptBelow) {
            add(at, j.keptBelow);
        }
        pos = j.end;
    }
    return kept;
}

std::optional<int64_t> PortModel::FitShortLast(const uint8_t* bytes, int n, int64_t from,
                                               int64_t to)
{
    for (int64_t q = to; q >= from && q >= m_stream.Base(); --q) {
        bool same = true;
        for (int k = 0; k < n && same; ++k) {
            same = m_stream.At(q + k) == bytes[k];
        }
        auto it = m_recv.upper_bound(q + n - 1);
        if (same && (it == m_recv.begin() || std::prev(it)->second.first <= q)) {
            return q;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> PortModel::FitShort(const uint8_t* bytes, int n, int64_t from, int64_t to)
{
    while (from <= to) {
        std::optional<int64_t> q = m_stream.FindShort(bytes, n, from, to + 1);
        if (!q) {
            return std::nullopt;
        }
        auto it = m_recv.upper_bound(*q + n - 1);
        if (it == m_recv.begin() || std::prev(it)->second.first <= *q) {
            return q; // no other receive took these positions
        }
        from = *q + 1;
    }
    return std::nullopt;
}

bool PortModel::PlaceSmall(Receive& r, bool finishing)
{
    int64_t hi = kNever;
    Micros hiEnded = kNever, hiBegan = kNever;
    for (const Receive& o : m_receives) {
        if (o.placed && o.tBegin > r.tEnd && o.min < hi) {
            hi = o.min;
            hiEnded = o.tEnd;
            hiBegan = o.tBegin;
        }
    }
    if (hi == kNever) {
        if (!finishing) {
            return false; // wait for a receive after it
        }
        hi = m_intentEnd;
    }
    // A short piece cannot tell an old byte from a new one: it is looked for where the queue may
    // hold bytes, after the last clear.
    const int64_t low = std::max(LowerBound(r), OldBelow(r.tBegin));
    // Its bytes came first in the queue: what lay before them was taken by the other short
    // receives that may have come before it or thrown away before it took them, and what lies
    // between them and the next receive's was taken by short receives after it or thrown away
    // before that one took its own.
    int64_t before = 0, after = 0;
    for (const Receive& o : m_receives) {
        if (o.id != r.id && !o.placed && o.ok && o.n > 0) {
            before += o.tBegin < r.tEnd ? o.n : 0;
            after += o.tEnd > r.tBegin && o.tBegin < hiBegan ? o.n : 0;
        }
    }
    const int64_t firstKept = NthFromStart(KeptStretches(low, hi, r.tEnd), before, hi);
    const int64_t lastKept =
        hiEnded != kNever ? NthFromEnd(KeptStretches(low, hi, hiEnded), after, low - 1) : low - 1;
    // Right after the receive before it, when they continue it (nothing was thrown away
    // between); else nearest the first byte kept, as bytes before that were more likely thrown
    // away than not.
    std::optional<int64_t> q = FitShort(r.bytes.data(), r.n, low, low);
    if (!q) {
        q = FitShortLast(r.bytes.data(), r.n, std::max(low, lastKept - r.n + 1),
                         std::min(firstKept, hi - r.n));
    }
    if (!q) {
        // No place keeps every rule: the first that fits, and the gap check says what was lost.
        q = FitShort(r.bytes.data(), r.n, low, hi - r.n);
    }
    if (!q) {
        Fail("receive #" + std::to_string(r.id) + " (thread " + std::to_string(r.thread) + ", " +
             std::to_string(r.n) + " bytes, " + Secs(r.tBegin) + " to " + Secs(r.tEnd) +
             ") got bytes that fit nowhere between " + Pos(low) + " and " + Pos(hi) +
             " that no other receive took: doubled, out of order or never written");
        return false;
    }
    ++m_stats.smallPlaced;
    return CheckPlaced(r, {{*q, *q + r.n}});
}

bool PortModel::CheckPlaced(Receive& r, const std::vector<std::pair<int64_t, int64_t>>& runs)
{
    r.placed = true;
    r.min = runs.front().first;
    r.max = runs.back().second - 1;
    r.runs = static_cast<int>(runs.size());
    r.bytes.clear();
    r.bytes.shrink_to_fit();
    const std::string me = "receive #" + std::to_string(r.id) + " (thread " +
                           std::to_string(r.thread) + ", " + std::to_string(r.n) + " bytes, " +
                           Secs(r.tBegin) + " to " + Secs(r.tEnd) + ")";
    // Another receive's bytes inside this one's span: doubled, or the two interleaved.
    auto it = m_recv.upper_bound(r.max);
    if (it != m_recv.begin()) {
        auto prev = std::prev(it);
        if (prev->second.first > r.min) {
            Fail(me + " got " + Pos(r.min) + " to " + std::to_string(r.max) + ", but receive #" +
                 std::to_string(prev->second.second) + " got positions " +
                 std::to_string(prev->first) + " to " + std::to_string(prev->second.first - 1) +
                 ": doubled or interleaved");
            return false;
        }
    }
    for (const Receive& o : m_receives) {
        if (o.placed && o.id != r.id && o.tBegin > r.tEnd && o.min <= r.max) {
            Fail(me + " ended before receive #" + std::to_string(o.id) +
                 " began, yet that one got " + Pos(o.min) + " and this one " + Pos(r.max) +
                 ": out of order");
            return false;
        }
    }
    int64_t old = OldBelow(r.tBegin);
    if (r.min < old) {
        Fail(me + " got " + Pos(r.min) +
             ", which had arrived before a clear or reopen that ended "
             "before the receive began (everything below position " +
             std::to_string(old) + " was to be gone)");
        return false;
    }
    for (const auto& [a, b] : runs) {
        m_recv[a] = {b, r.id};
        m_stats.received += b - a;
    }
    m_maxReceived = std::max(m_maxReceived, r.max);
    return true;
}

void PortModel::CheckTimeout(const Receive& r)
{
    if (OverlapsReopen(r.thread, r.tBegin, r.tEnd)) {
        return; // the port may have been closed
    }
    ReceiveBounds t = TimeoutsFor(r.tBegin, r.tEnd);
    const Micros margin = m_rules.timeoutMargin;
    Micros cut = r.tBegin - margin;
    if (m_rules.receiveWaits) {
        cut += static_cast<Micros>(t.minTimeout) * 1000;
        Micros opened = 0;
        for (const Event& e : m_events) {
            if (e.kind == EventKind::Reopen && e.tBegin < r.tEnd) {
                opened = std::max(opened, e.tEnd);
            }
        }
        if (opened + m_rules.readerStart >= cut) {
            return; // the reader may not have read anything yet
        }
    }
    const int64_t arrived = WrittenBeforeLocked(cut);
    int64_t from = 0;
    for (const Event& e : m_events) {
        if (e.kind != EventKind::Speed && e.tBegin < r.tEnd) {
            from = std::max(from, FirstWrittenFrom(e.tEnd));
        }
    }
    from = std::max(from, m_prunedOldBelow);
    // Count the bytes in [from, arrived) that nothing before the receive took or may have
    // thrown away.
    int64_t there = 0;
    int64_t first = -1;
    for (int64_t pos = from; pos < arrived && there < r.n;) {
        Judged j = Judge(pos, arrived, r.tEnd);
        int64_t free = j.keptBelow - pos;
        // Minus what receives that may have come before this one took.
        auto it = m_recv.upper_bound(pos);
        if (it != m_recv.begin()) {
            --it;
        }
        for (; it != m_recv.end() && it->first < j.keptBelow; ++it) {
            int64_t a = std::max(pos, it->first), b = std::min(j.keptBelow, it->second.first);
            const Receive* by = ById(it->second.second);
            if (a < b && (by == nullptr || by->tBegin < r.tEnd)) {
                free -= b - a;
            }
        }
        if (free > 0 && first < 0) {
            first = pos;
        }
        there += std::max<int64_t>(free, 0);
        pos = j.end;
    }
    if (there >= r.n) {
        Fail("receive #" + std::to_string(r.id) + " (thread " + std::to_string(r.thread) + ", " +
             std::to_string(r.n) + " bytes, " + Secs(r.tBegin) + " to " + Secs(r.tEnd) +
             (m_rules.receiveWaits ? ", time-out at least " + std::to_string(t.minTimeout) + " ms"
                                   : std::string()) +
             ") failed, yet at least " + std::to_string(there) +
             " bytes that no earlier receive took and nothing may have thrown away had arrived " +
             std::to_string(margin / 1000) + " ms before its " +
             (m_rules.receiveWaits ? "deadline" : "start") + ", from " + Pos(first) + " on");
    }
}

void PortModel::Counted(int thread, int32_t count, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    const int64_t old = OldBelow(tBegin);
    int64_t taken = 0;
    for (auto it = m_recv.lower_bound(old); it != m_recv.end(); ++it) {
        const Receive* by = ById(it->second.second);
        if (by != nullptr && by->tEnd < tBegin) {
            taken += it->second.first - it->first;
        }
    }
    const int64_t most = m_intentEnd - old - taken;
    if (count < 0 || count > most) {
        Fail("a count (thread " + std::to_string(thread) + ", " + Secs(tBegin) + " to " +
             Secs(tEnd) + ") said " + std::to_string(count) + " bytes wait, but at most " +
             std::to_string(most) + " can: the phone wrote up to position " +
             std::to_string(m_intentEnd) + ", a clear or reopen removed those below " +
             std::to_string(old) + ", receives before took " + std::to_string(taken));
    }
    Settle(false);
}

void PortModel::Cleared(int thread, int64_t arrived, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    ++m_stats.clears;
    Event e;
    e.kind = EventKind::Clear;
    e.thread = thread;
    e.tBegin = tBegin;
    e.tEnd = tEnd;
    e.arrived = arrived;
    e.what = "clear";
    m_events.push_back(e);
    // Receives reported before this clear that began after it ended.
    for (const Receive& r : m_receives) {
        if (r.placed && r.tBegin > tEnd && r.min < arrived) {
            Fail("receive #" + std::to_string(r.id) + " (thread " + std::to_string(r.thread) +
                 ", " + Secs(r.tBegin) + " to " + Secs(r.tEnd) + ") got " + Pos(r.min) +
                 ", which had arrived before the clear of thread " + std::to_string(thread) + " (" +
                 Secs(tBegin) + " to " + Secs(tEnd) + ") began");
        }
    }
    Settle(false);
}

void PortModel::Reopened(int thread, bool ok, int64_t arrived, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool beside = OverlapsReopen(thread, tBegin, tEnd);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    ++m_stats.reopens;
    if (!ok && !beside) {
        Fail("closing and opening the port again (thread " + std::to_string(thread) + ", " +
             Secs(tBegin) + " to " + Secs(tEnd) + ") failed");
    }
    Event e;
    e.kind = EventKind::Reopen;
    e.thread = thread;
    e.tBegin = tBegin;
    e.tEnd = tEnd;
    e.arrived = arrived;
    e.what = "reopen";
    for (Event& o : m_events) {
        if (o.kind == EventKind::Speed && tBegin < o.tEnd && o.readerFrom != kNever) {
            o.readerFrom = std::max(o.readerFrom, tEnd + m_rules.readerStart);
        }
    }
    m_events.push_back(e);
    m_rates.push_back({tBegin, tEnd, ok ? kOpenRate : 0});
    for (const Receive& r : m_receives) {
        if (r.placed && r.tBegin > tEnd && r.min < arrived) {
            Fail("receive #" + std::to_string(r.id) + " (thread " + std::to_string(r.thread) +
                 ") got " + Pos(r.min) + ", which had arrived before the reopen of thread " +
                 std::to_string(thread) + " (" + Secs(tBegin) + " to " + Secs(tEnd) + ") began");
        }
    }
    Settle(false);
}

void PortModel::SpeedChanged(int thread, const std::string& what, uint32_t rate, bool ok,
                             Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool beside = OverlapsReopen(thread, tBegin, tEnd);
    bool same = SameRate(rate, tBegin, tEnd, thread);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    ++m_stats.speedChanges;
    if (!ok && rate != 0 && !beside) {
        Fail(what + " (thread " + std::to_string(thread) + ", " + Secs(tBegin) + " to " +
             Secs(tEnd) + ") failed");
    }
    Event e;
    e.kind = EventKind::Speed;
    e.thread = thread;
    e.tBegin = tBegin;
    e.tEnd = tEnd;
    e.mayDiscard = !(ok && same);
    int64_t head = m_prunedMax + 1;
    for (const Receive& r : m_receives) {
        if (r.placed && r.tEnd < tBegin) {
            head = std::max(head, r.max + 1);
        }
    }
    e.head = std::max(head, OldBelow(tBegin));
    for (const Event& o : m_events) {
        if (o.kind == EventKind::Reopen && o.tBegin < tEnd) {
            e.readerFrom = std::max(e.readerFrom, o.tEnd + m_rules.readerStart);
        }
    }
    for (const auto& [t, f] : m_inFlight) {
        if (t != thread && f.op == Op::Reopen && f.t < tEnd) {
            e.readerFrom = kNever; // the port it acted on may have just opened
        }
    }
    e.what = what;
    m_events.push_back(e);
    m_rates.push_back({tBegin, tEnd, ok ? rate : 0});
    Settle(false);
}

void PortModel::RxTimeoutSet(int thread, uint32_t ms, bool ok, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool beside = OverlapsReopen(thread, tBegin, tEnd);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    if (ok) {
        m_timeouts.push_back({tBegin, tEnd, ms});
    } else if (!beside) {
        Fail("PM_SetRxTimeout(" + std::to_string(ms) + ") (thread " + std::to_string(thread) +
             ", " + Secs(tBegin) + ") failed");
    }
    Settle(false);
}

void PortModel::Sent(int thread, uint32_t number, uint16_t length, bool ok, Micros tBegin,
                     Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool beside = OverlapsReopen(thread, tBegin, tEnd);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    ++m_stats.sends;
    SendRec& s = m_sends[{thread, number}];
    s.recorded = true;
    s.ok = ok;
    s.length = length;
    s.tBegin = tBegin;
    s.tEnd = tEnd;
    if (!ok) {
        if (!beside) {
            Fail("send " + std::to_string(number) + " of thread " + std::to_string(thread) + " (" +
                 std::to_string(length + kFrameHeader) + " bytes, " + Secs(tBegin) + " to " +
                 Secs(tEnd) + ") failed");
        }
        s.cut = true;
        m_cutSends.push_back(tBegin);
    }
    if (s.arrived) {
        CheckSendArrival(thread, number, s);
    }
    Settle(false);
}

void PortModel::CheckSendArrival(int thread, uint32_t number, SendRec& s)
{
    const std::string me = "send " + std::to_string(number) + " of thread " +
                           std::to_string(thread) + " (" + Secs(s.tBegin) + " to " + Secs(s.tEnd) +
                           ")";
    if (s.arrivedLength != s.length) {
        Fail(me + " reached the phone with " + std::to_string(s.arrivedLength) +
             " payload bytes instead of " + std::to_string(s.length));
        return;
    }
    for (const auto& [key, o] : m_sends) {
        if (key.first == thread || !o.recorded || !o.ok || MayBeCut(o)) {
            continue;
        }
        const std::string other = "send " + std::to_string(key.second) + " of thread " +
                                  std::to_string(key.first) + " (" + Secs(o.tBegin) + " to " +
                                  Secs(o.tEnd) + ")";
        if (o.tEnd < s.tBegin && (!o.arrived || o.arrival > s.arrival)) {
            Fail(me + " reached the phone before " + other + ", which ended before it began");
            return;
        }
        if (s.tEnd < o.tBegin && o.arrived && o.arrival < s.arrival) {
            Fail(other + " reached the phone before " + me + ", which ended before it began");
            return;
        }
    }
}

bool PortModel::MayBeCut(const SendRec& s) const
{
    if (!m_rules.flushesOutput) {
        return false;
    }
    // A clear or a speed change throws away output the phone has not read yet: one that began
    // before the phone can be sure to have read the send.
    for (const Event& e : m_events) {
        if ((e.kind == EventKind::Clear || (e.kind == EventKind::Speed && e.mayDiscard)) &&
            e.tEnd > s.tBegin && e.tBegin < s.tEnd + m_rules.phoneReads) {
            return true;
        }
    }
    return false;
}

void PortModel::Other(int thread, const std::string& what, bool ok, Micros tBegin, Micros tEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool beside = OverlapsReopen(thread, tBegin, tEnd);
    EndCall(thread);
    m_latest = std::max(m_latest, tEnd);
    if (!ok && !beside) {
        Fail(what + " (thread " + std::to_string(thread) + ", " + Secs(tBegin) + " to " +
             Secs(tEnd) + ") failed");
    }
    Settle(false);
}

void PortModel::Tick(Micros now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latest = std::max(m_latest, now);
    for (const auto& [key, s] : m_sends) {
        if (s.recorded && s.ok && !s.arrived && s.tEnd + m_rules.sendArrival < now &&
            !MayBeCut(s)) {
            Fail("send " + std::to_string(key.second) + " of thread " + std::to_string(key.first) +
                 " (" + Secs(s.tBegin) + " to " + Secs(s.tEnd) +
                 ") succeeded but has not "
                 "reached the phone whole by " +
                 Secs(now));
            break;
        }
    }
    Settle(false);
}

void PortModel::Finish(Micros now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latest = std::max(m_latest, now);
    m_inFlight.clear();
    Settle(true);
}

void PortModel::Settle(bool finishing)
{
    if (!m_failure.empty()) {
        return;
    }
    // Every call that began before this may still report what it took or threw away.
    Micros cutoff = kNever;
    for (const auto& [t, f] : m_inFlight) {
        cutoff = std::min(cutoff, f.t);
    }
    // Short receives are placed in order, each once a receive after it shows where it ends.
    for (Receive& r : m_receives) {
        if (r.placed || !r.ok || r.n <= 0 || r.tEnd >= cutoff) {
            continue;
        }
        if (!PlaceSmall(r, finishing)) {
            break;
        }
    }
    if (!m_failure.empty()) {
        return;
    }
    Micros unplaced = kNever;
    for (const Receive& r : m_receives) {
        if (!r.placed && r.ok && r.n > 0) {
            unplaced = std::min(unplaced, r.tBegin);
        }
    }
    // Below the largest position of a receive that no unreported receive can have come before,
    // every byte not received was thrown away.
    int64_t settle = -1;
    for (const Receive& r : m_receives) {
        if (r.placed && r.tEnd < cutoff && r.tEnd < unplaced) {
            settle = std::max(settle, r.max);
        }
    }
    if (settle >= m_settled) {
        int64_t pos = m_settled;
        auto it = m_recv.upper_bound(pos);
        if (it != m_recv.begin()) {
            --it;
        }
        for (; it != m_recv.end() && pos <= settle; ++it) {
            const int64_t a = it->first, b = it->second.first;
            if (b <= pos) {
                continue;
            }
            if (a > pos) {
                const Receive* by = ById(it->second.second);
                Micros deadline = by != nullptr ? by->tEnd : kNever;
                int64_t kept = FirstKept(pos, a, deadline);
                m_stats.lost += a - pos;
                if (kept < a) {
                    Fail(Pos(kept) + " never came, though receive #" +
                         std::to_string(it->second.second) + " (ending " + Secs(deadline) +
                         ") got " + Pos(a) +
                         " after it, and no clear, reopen or speed change "
                         "before that may have thrown it away");
                    return;
                }
            }
            pos = b;
        }
        m_settled = settle + 1;
    }
    for (Receive& r : m_receives) {
        if (!r.timeoutChecked && r.tEnd < cutoff && r.tEnd < unplaced) {
            r.timeoutChecked = true;
            CheckTimeout(r);
            if (!m_failure.empty()) {
                return;
            }
        }
    }
    Prune();
}

void PortModel::Prune()
{
    const int64_t keepFrom = m_settled - kKeptBehind;
    while (m_receives.size() > 512) {
        const Receive& r = m_receives.front();
        bool done =
            (r.placed && r.max < m_settled) || (!r.ok && r.timeoutChecked) || (r.ok && r.n <= 0);
        if (!done || r.tEnd + 60000000 > m_latest) {
            break;
        }
        if (r.placed) {
            m_prunedMax = std::max(m_prunedMax, r.max);
        }
        m_receives.pop_front();
    }
    if (keepFrom > 0) {
        while (!m_recv.empty() && m_recv.begin()->second.first < keepFrom) {
            m_recv.erase(m_recv.begin());
        }
        if (keepFrom > m_stream.Base() + (int64_t{4} << 20)) {
            m_stream.Forget(keepFrom);
        }
        while (m_chunks.size() > 1 && m_chunks.front().end < keepFrom) {
            m_chunks.pop_front();
        }
    }
    if (m_events.size() > 2048) {
        // Events that ended before the oldest byte still looked at was written change nothing.
        Micros oldest = m_chunks.empty() ? 0 : m_chunks.front().tBegin;
        std::vector<Event> kept;
        for (const Event& e : m_events) {
            if (e.tEnd < oldest && e.tEnd + 60000000 < m_latest) {
                if (e.kind != EventKind::Speed) {
                    m_prunedOldBelow = std::max(m_prunedOldBelow, e.arrived);
                }
            } else {
                kept.push_back(e);
            }
        }
        m_events.swap(kept);
    }
    if (m_rates.size() > 2048) {
        m_rates.erase(m_rates.begin(), m_rates.begin() + 1024);
    }
    if (m_timeouts.size() > 2048) {
        m_timeouts.erase(m_timeouts.begin(), m_timeouts.begin() + 1024);
    }
    if (m_sends.size() > 4096) {
        for (auto it = m_sends.begin(); it != m_sends.end();) {
            const SendRec& s = it->second;
            if (s.recorded && (s.arrived || !s.ok) && s.tEnd + 60000000 < m_latest) {
                it = m_sends.erase(it);
            } else {
                ++it;
            }
        }
    }
    while (m_cutSends.size() > 256) {
        m_cutSends.erase(m_cutSends.begin());
    }
}

} // namespace stress
