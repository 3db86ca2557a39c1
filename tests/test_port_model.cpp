// The stress test's model on histories made by hand: each broken rule is caught, and what the
// rules allow passes. A model that let a fault through would make the stress test pass for
// nothing; one that flagged what the port may do would make it fail for nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PortModel.h"
#include "StressFrames.h"
#include "StressStream.h"

namespace {

using stress::Link;
using stress::Micros;
using stress::ModelRules;
using stress::PortModel;

constexpr Micros kMs = 1000;

ModelRules SerialRules()
{
    ModelRules r;
    r.link = Link::Serial;
    r.speedGrace = 2 * kMs;
    r.timeoutMargin = 100 * kMs;
    r.readerStart = 0;
    r.speedDiscards = true;
    r.flushesOutput = true;
    r.queueFloor = 1 << 20;
    return r;
}

// A history on one port: the phone's writes and the host's calls, with their times in ms.
class History {
  public:
    explicit History(ModelRules rules = SerialRules()) : model(rules, 12345)
    {
        model.Begin(0, PortModel::Op::Reopen, 0);
        model.Reopened(0, true, 0, 0, 1 * kMs);
    }
    // The phone writes n bytes between two moments.
    void Write(int64_t n, double from, double to)
    {
        model.PhoneWriting(written + n, At(from));
        model.PhoneWrote(written, written + n, At(from), At(to));
        written += n;
    }
    // Thread 0 receives the stream's bytes [a, b) between two moments (with time-out ms before).
    void Receive(int64_t a, int64_t b, double from, double to, uint32_t timeout = 100)
    {
        std::vector<uint8_t> bytes = model.StreamBytes(a, static_cast<size_t>(b - a));
        ReceiveBytes(bytes, from, to, timeout);
    }
    void ReceiveBytes(const std::vector<uint8_t>& bytes, double from, double to,
                      uint32_t timeout = 100, int thread = 0)
    {
        SetTimeout(timeout, from, thread);
        model.Begin(thread, PortModel::Op::Receive, At(from));
        model.Received(thread, static_cast<int32_t>(bytes.size()), bytes.data(), true, At(from),
                       At(to));
    }
    void TimedOut(int32_t n, double from, double to, uint32_t timeout)
    {
        SetTimeout(timeout, from, 0);
        model.Begin(0, PortModel::Op::Receive, At(from));
        model.Received(0, n, nullptr, false, At(from), At(to));
    }
    void Clear(double from, double to)
    {
        model.Begin(0, PortModel::Op::Clear, At(from));
        model.Cleared(0, model.WrittenBefore(At(from)), At(from), At(to));
    }
    void Speed(uint32_t rate, double from, double to)
    {
        model.Begin(0, PortModel::Op::Speed, At(from));
        model.SpeedChanged(0, "PM_SetBitRate", rate, true, At(from), At(to));
    }
    void Count(int32_t count, double at)
    {
        model.Begin(0, PortModel::Op::Count, At(at));
        model.Counted(0, count, At(at), At(at));
    }
    std::string Failure()
    {
        model.Finish(At(10000));
        return model.Failure();
    }

    PortModel model;
    int64_t written = 0;

  private:
    static Micros At(double ms) { return static_cast<Micros>(ms * kMs); }
    // The time-out just before the receive, as the stress test sets it.
    void SetTimeout(uint32_t ms, double at, int thread)
    {
        model.Begin(thread, PortModel::Op::RxTimeout, At(at) - 1);
        model.RxTimeoutSet(thread, ms, true, At(at) - 1, At(at) - 1);
    }
};

struct Case {
    const char* name;
    void (*history)(History&);
    const char* failure; // a piece of the failure's text, or "" when the history keeps the rules
};

TEST(PortModel, CatchesEachBrokenRuleAndPassesWhatTheRulesAllow)
{
    const Case cases[] = {
        {"everything received in order",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Receive(40, 43, 7, 8); // a short receive, placed by its neighbours
             h.Receive(43, 100, 9, 10);
         },
         ""},
        {"a byte received twice",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Receive(30, 60, 7, 8);
         },
         "doubled"},
        {"bytes lost with nothing to throw them away",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Receive(50, 100, 7, 8);
         },
         "never came"},
        {"a clear throws away what came before it",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Clear(10, 11);
             h.Write(100, 20, 21);
             h.Receive(100, 200, 25, 26);
         },
         ""},
        {"old bytes received after a clear",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Clear(10, 11);
             h.Write(100, 20, 21);
             h.Receive(60, 200, 25, 26);
         },
         "had arrived before a clear"},
        {"a clear loses what came after it",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Clear(10, 11);
             h.Write(100, 20, 21);
             h.Write(100, 22, 23);
             h.Receive(200, 300, 25, 26);
         },
         "never came"},
        {"a speed change loses what was written within the grace",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Write(100, 9, 9.5); // 0.5 ms before the change
             h.Speed(9600, 10, 11);
             h.Write(100, 20, 21);
             h.Receive(0, 100, 25, 26);
             h.Receive(200, 300, 27, 28);
         },
         ""},
        {"a speed change loses what had long arrived",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Speed(9600, 10, 11);
             h.Write(100, 20, 21);
             h.Receive(100, 200, 25, 26);
         },
         "never came"},
        {"a change to the rate in effect loses anything",
         [](History& h) {
             h.Speed(9600, 2, 3);
             h.Write(100, 10, 10.5);
             h.Speed(9600, 11, 12);
             h.Write(100, 20, 21);
             h.Receive(100, 200, 25, 26);
         },
         "never came"},
        {"a receive that times out with its bytes there",
         [](History& h) {
             h.Write(100, 2, 3);
             h.TimedOut(50, 300, 400, 100);
         },
         "failed, yet at least"},
        {"a receive that times out without them",
         [](History& h) {
             h.Write(30, 2, 3);
             h.TimedOut(50, 300, 400, 100);
             h.Receive(0, 30, 500, 501);
         },
         ""},
        {"a count above what arrived",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Count(61, 7);
         },
         "at most 60 can"},
        {"a count of what arrived",
         [](History& h) {
             h.Write(100, 2, 3);
             h.Receive(0, 40, 5, 6);
             h.Count(60, 7);
         },
         ""},
        {"bytes the phone never wrote",
         [](History& h) {
             h.Write(100, 2, 3);
             h.ReceiveBytes({1, 2, 3, 4, 5, 6, 7, 8}, 5, 6);
         },
         "never wrote"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        History h;
        c.history(h);
        std::string failure = h.Failure();
        if (*c.failure == '\0') {
            EXPECT_EQ(failure, "");
        } else {
            EXPECT_NE(failure.find(c.failure), std::string::npos) << failure;
        }
    }
}

// What the host sends reaches the phone whole and in the order of the sends.
TEST(PortModel, SendsMustArriveWholeAndInOrder)
{
    {
        History h;
        h.model.Begin(0, PortModel::Op::Send, 1000);
        h.model.Sent(0, 0, 10, true, 1000, 2000);
        h.model.Begin(1, PortModel::Op::Send, 3000);
        h.model.Sent(1, 0, 10, true, 3000, 4000);
        h.model.PhoneGotFrame(1, 0, 10, 4500);
        h.model.PhoneGotFrame(0, 0, 10, 4600);
        EXPECT_NE(h.model.Failure().find("reached the phone before"), std::string::npos)
            << h.model.Failure();
    }
    {
        History h;
        h.model.Begin(0, PortModel::Op::Send, 1000);
        h.model.Sent(0, 0, 10, true, 1000, 2000);
        h.model.Tick(10000000);
        EXPECT_NE(h.model.Failure().find("has not reached the phone"), std::string::npos)
            << h.model.Failure();
    }
    {
        History h;
        h.model.PhoneGotGarbage(5, 1000);
        EXPECT_NE(h.model.Failure().find("no whole send"), std::string::npos);
    }
}

// Four bytes anywhere in the stream stand at one position only.
TEST(PortModel, FourStreamBytesFixTheirPosition)
{
    stress::Stream stream(12345);
    const int64_t span = 4 << 20;
    stream.Extend(span + stress::kWindow);
    for (int64_t p = 0; p < span; p += 99991) {
        uint8_t w[stress::kWindow];
        for (int k = 0; k < stress::kWindow; ++k) {
            w[k] = stream.At(p + k);
        }
        EXPECT_EQ(stream.Find(w, 0, span), p);
    }
}

} // namespace
