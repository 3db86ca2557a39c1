// The reference model of the stress test (docs/stress.md): what the phone wrote and when, what
// the host's calls took, and what a clear, a reopen or a speed change may have thrown away. The
// host threads and the phone report to it as they go; it checks each report against the rules
// and keeps the first broken rule as the run's failure.
#ifndef TESTS_PORTMODEL_H
#define TESTS_PORTMODEL_H

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "StressStream.h"

namespace stress {

using Micros = int64_t; // since the run began
inline constexpr Micros kNever = std::numeric_limits<Micros>::max();

enum class Link { Serial, Modem, Bluetooth };
const char* LinkName(Link link);

struct ModelRules {
    Link link = Link::Serial;
    // A speed change to another rate may lose the bytes written this long before it began (a
    // reader running as designed has queued older ones), and those written during it.
    Micros speedGrace = 20000;
    // Bluetooth: how long the stack may take to hand written bytes to the module; a clear must
    // remove the bytes written this long before it began.
    Micros arrivalGrace = 0;
    // A receive may time out when fewer bytes it could take had arrived this long before its
    // deadline.
    Micros timeoutMargin = 100000;
    // After an open the reader waits this long before it reads (nothing is received before).
    Micros readerStart = 0;
    bool receiveWaits = true;   // false: a receive takes what is there at once (Bluetooth)
    bool speedDiscards = false; // a speed change to another rate may lose bytes (the tty)
    // A clear or a speed change to another rate throws away what the host sent and the phone
    // has not read yet (the tty's output); the phone reads what is sent within phoneReads.
    bool flushesOutput = false;
    Micros phoneReads = 100000;
    // A speed change may lose what lies beyond this many bytes after the oldest byte the queue
    // may still hold: the queue was full, so the device's own buffer held them.
    int64_t queueFloor = std::numeric_limits<int64_t>::max();
    // A send the host completed has reached the phone this long after.
    Micros sendArrival = 3000000;
    // The longest receive time-out the host sets (what one not yet reported may be).
    uint32_t mostTimeout = 2000;
};

class PortModel {
  public:
    PortModel(ModelRules rules, uint32_t streamSeed);

    const ModelRules& Rules() const { return m_rules; }
    bool Failed() const;
    std::string Failure() const;

    // ---- The phone ----
    // The stream's bytes [from, from + n).
    std::vector<uint8_t> StreamBytes(int64_t from, size_t n);
    // A write of the bytes up to end begins at t (they may be on their way from now on).
    void PhoneWriting(int64_t end, Micros t);
    // One write put [begin, end) on the link between tBegin and tEnd.
    void PhoneWrote(int64_t begin, int64_t end, Micros tBegin, Micros tEnd);
    int64_t Written() const;               // the bytes whose writes have ended
    int64_t WrittenBefore(Micros t) const; // the bytes whose writes ended before t
    int64_t Backlog() const;               // written and possibly not yet taken or thrown away
    void PhoneGotFrame(int thread, uint32_t number, uint16_t length, Micros t);
    void PhoneGotGarbage(size_t bytes, Micros t);

    // ---- The host's calls ----
    enum class Op { Receive, Send, Count, Clear, Reopen, Speed, RxTimeout, Other };
    // thread is about to make a call of this kind at t.
    void Begin(int thread, Op op, Micros t);
    struct ReceiveBounds {
        uint32_t minTimeout = 0, maxTimeout = 0;
        int64_t first = -1, last = -1; // where its bytes lie in the stream, once known
        int runs = 0;                  // stretches of the stream they make
    };
    // Each report ends the thread's call. ok: the call's result was success.
    ReceiveBounds Received(int thread, int32_t n, const uint8_t* bytes, bool ok, Micros tBegin,
                           Micros tEnd);
    void Counted(int thread, int32_t count, Micros tBegin, Micros tEnd);
    // arrived: the stream's bytes below this had reached the module when the call began.
    void Cleared(int thread, int64_t arrived, Micros tBegin, Micros tEnd);
    void Reopened(int thread, bool ok, int64_t arrived, Micros tBegin, Micros tEnd);
    // rate: the line rate asked for, 0 when what the line runs at afterwards is not known.
    void SpeedChanged(int thread, const std::string& what, uint32_t rate, bool ok, Micros tBegin,
                      Micros tEnd);
    void RxTimeoutSet(int thread, uint32_t ms, bool ok, Micros tBegin, Micros tEnd);
    void Sent(int thread, uint32_t number, uint16_t length, bool ok, Micros tBegin, Micros tEnd);
    void Other(int thread, const std::string& what, bool ok, Micros tBegin, Micros tEnd);

    // Checks what time has made checkable (sends that should have arrived by now).
    void Tick(Micros now);
    // The run is over and every call has ended: settles everything left.
    void Finish(Micros now);

    struct Stats {
        int64_t written = 0, received = 0, lost = 0, receives = 0, timeouts = 0, clears = 0,
                reopens = 0, speedChanges = 0, sends = 0, frames = 0, smallPlaced = 0;
    };
    Stats GetStats() const;

  private:
    struct Chunk {
        int64_t begin, end;
        Micros tBegin, tEnd;
    };
    enum class EventKind { Clear, Reopen, Speed };
    struct Event {
        EventKind kind = EventKind::Clear;
        int thread = 0;
        Micros tBegin = 0, tEnd = 0;
        int64_t arrived = 0;    // clear, reopen
        bool mayDiscard = true; // speed: to another rate (or not known to be the same)
        int64_t head = 0;       // speed: the oldest byte the queue may still hold
        Micros readerFrom = 0;  // speed: when the reader of the port it acted on began reading
        std::string what;
    };
    struct RateEvent {
        Micros tBegin, tEnd;
        uint32_t outcome; // the rate afterwards, 0 not known
    };
    struct TimeoutEvent {
        Micros tBegin, tEnd;
        uint32_t ms;
    };
    struct Receive {
        int id = 0;
        int thread = 0;
        int32_t n = 0;
        bool ok = false;
        Micros tBegin = 0, tEnd = 0;
        bool placed = false;
        int64_t min = -1, max = -1;
        int runs = 0;
        std::vector<uint8_t> bytes; // kept until placed
        uint32_t minTimeout = 0;
        bool timeoutChecked = true;
    };
    struct SendRec {
        uint16_t length = 0;
        bool recorded = false, ok = false, cut = false;
        Micros tBegin = 0, tEnd = 0;
        bool arrived = false;
        int64_t arrival = -1; // order of arrival at the phone
        uint16_t arrivedLength = 0;
    };
    struct InFlight {
        Op op;
        Micros t;
    };

    void Fail(const std::string& why);
    void EndCall(int thread);
    std::string Pos(int64_t p) const;
    const Chunk* ChunkOf(int64_t pos) const;
    Micros WriteBegan(int64_t pos) const;
    Micros WriteEnded(int64_t pos) const;
    int64_t FirstWrittenFrom(Micros t) const; // the first byte whose write began at or after t
    int64_t WrittenBeforeLocked(Micros t) const;
    bool OverlapsReopen(int thread, Micros tBegin, Micros tEnd) const;
    int64_t OldBelow(Micros before) const; // bytes a clear ended before this time removed
    int64_t LowerBound(const Receive& r) const;
    // What events beginning before deadline may have thrown away of the bytes from pos that one
    // write made (up to end, at most b): those from keptBelow on (all when it is pos).
    struct Judged {
        int64_t end;
        bool gone;
        int64_t keptBelow;
    };
    Judged Judge(int64_t pos, int64_t b, Micros deadline) const;
    // The first position of [a, b) that no event beginning before deadline may have thrown away,
    // or b when every one may have been.
    int64_t FirstKept(int64_t a, int64_t b, Micros deadline) const;
    const Receive* ById(int id) const;
    // The stretches of [a, b) that no receive took and no event beginning before deadline may
    // have thrown away.
    std::vector<std::pair<int64_t, int64_t>> KeptStretches(int64_t a, int64_t b,
                                                           Micros deadline) const;
    // The first place in [from, to] where the n bytes stand and no receive took any of them.
    std::optional<int64_t> FitShort(const uint8_t* bytes, int n, int64_t from, int64_t to);
    std::optional<int64_t> FitShortLast(const uint8_t* bytes, int n, int64_t from, int64_t to);
    bool Place(Receive& r);
    bool PlaceSmall(Receive& r, bool finishing);
    bool CheckPlaced(Receive& r, const std::vector<std::pair<int64_t, int64_t>>& runs);
    void CheckTimeout(const Receive& r);
    ReceiveBounds TimeoutsFor(Micros tBegin, Micros tEnd) const;
    bool SameRate(uint32_t rate, Micros tBegin, Micros tEnd, int thread) const;
    void Settle(bool finishing);
    void CheckSendArrival(int thread, uint32_t number, SendRec& s);
    bool MayBeCut(const SendRec& s) const;
    void Prune();

    ModelRules m_rules;
    mutable std::mutex m_mutex;
    std::string m_failure;

    Stream m_stream;
    std::deque<Chunk> m_chunks;
    int64_t m_written = 0;
    int64_t m_intentEnd = 0;
    Micros m_intentT = 0; // when the bytes from m_written to m_intentEnd began their way
    Micros m_latest = 0;  // the latest time reported

    std::map<int64_t, std::pair<int64_t, int>> m_recv; // begin -> (end, receive id)
    std::deque<Receive> m_receives;                    // by id
    int m_nextReceive = 0;
    int64_t m_prunedMax = -1; // the largest position of receives no longer kept
    int64_t m_settled = 0;    // below this every byte was received or found thrown away
    int64_t m_maxReceived = -1;

    std::vector<Event> m_events;
    int64_t m_prunedOldBelow = 0;
    std::vector<RateEvent> m_rates;
    std::vector<TimeoutEvent> m_timeouts;
    std::map<int, InFlight> m_inFlight;

    std::map<std::pair<int, uint32_t>, SendRec> m_sends;
    int64_t m_arrivals = 0;
    std::map<int, uint32_t> m_lastArrived; // per thread, the number of its last frame
    std::vector<Micros> m_cutSends;        // when sends that may have been cut began

    Stats m_stats;
};

} // namespace stress

#endif
