// The delay a push gains by crossing nodes: a user waits on node B, and a push
// for it is asked for on node A (through the table of waiting users and
// LISTEN/NOTIFY) against the same push asked for on node B itself. Both nodes
// are event dispatchers with stores of their own, in this process.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "postgres_bench.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"

namespace brindle::server::bench {
namespace {

constexpr int kRepetitions = 200;
constexpr auto kDeadline = std::chrono::seconds(5);

// One waiting request: the time its answer came, and the answer.
class Waiting {
  public:
    PushRelay::Answer answer() {
        return [this](const std::string& body) {
            std::lock_guard<std::mutex> hold(lock_);
            at_ = Clock::now();
            body_ = body;
            done_ = true;
            changed_.notify_all();
        };
    }
    // The answer's time, or nothing when none came by the deadline.
    bool Await(Clock::time_point& at, std::string& body) {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, kDeadline, [&] { return done_; })) {
            return false;
        }
        at = at_;
        body = body_;
        return true;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    Clock::time_point at_{};
    std::string body_;
};

// Parks bob's waiting request on `waitNode`, asks for a push on `askNode`:
// milliseconds from the request to the waiting answer; -1 when it failed.
double PushDelay(EventDispatcher& waitNode, EventDispatcher& askNode, int index) {
    EventReply parked =
        waitNode.Handle({"event=onWaitForPush&userName=bob&password=pw", "10.0.0.2"});
    if (parked.waitFor != "bob") {
        return -1;
    }
    Waiting waiting;
    if (waitNode.relay().Wait("bob", waiting.answer()) != PushRelay::Waited::Parked) {
        return -1;
    }
    char token[33];
    std::snprintf(token, sizeof token, "%032x", index);
    auto start = Clock::now();
    EventReply asked = askNode.Handle(
        {"event=onRequestPush&userName=ann&password=pw&target=bob&file=song.mp3&token=" +
             std::string(token),
         "10.0.0.1"});
    Clock::time_point at;
    std::string body;
    if (asked.body != "OK\n" || !waiting.Await(at, body) || body.rfind("PUSH ", 0) != 0) {
        waitNode.relay().Release("bob");
        return -1;
    }
    return std::chrono::duration<double, std::milli>(at - start).count();
}

}  // namespace

int RunPushPart(const PartOptions& partOptions) {
    if (partOptions.sqlite) {
        std::printf("push: needs PostgreSQL (an SQLite directory is one node); skipped\n");
        return 0;
    }
    if (!PasswordHasher::Initialize()) {
        return 1;
    }
    ScratchDir scratch;
    std::string error;
    auto database = BenchDatabase::Create(scratch.path() / "db", {}, error);
    auto storeA = database ? database->Open(error) : nullptr;
    auto storeB = storeA ? database->Open(error) : nullptr;
    if (!storeB) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    PasswordHasher hasher(PasswordHasher::Minimum());
    std::string hash = hasher.Hash("pw");
    if (storeA->Register({"ann", hash, "DSL", "10.0.0.1", {}}) != StoreStatus::Ok ||
        storeA->Register({"bob", hash, "DSL", "10.0.0.2", {}}) != StoreStatus::Ok) {
        std::fprintf(stderr, "registration failed\n");
        return 1;
    }
    DirectoryLimits limits;
    limits.push.sendsPerMinute = 1000000;
    EventDispatcher nodeA(*storeA, hasher, limits);
    EventDispatcher nodeB(*storeB, hasher, limits);
    std::printf("%s, two nodes in one process\n", database->Describe().c_str());

    std::vector<double> sameNode;
    std::vector<double> crossNode;
    int failed = 0;
    for (int i = 0; i < kRepetitions; ++i) {
        // Alternated, so both see the same machine.
        for (auto* row : {&sameNode, &crossNode}) {
            double delay = PushDelay(nodeB, row == &sameNode ? nodeB : nodeA, i);
            if (delay < 0) {
                ++failed;
            } else {
                row->push_back(delay);
            }
        }
    }
    std::printf("%d pushes each, request to the waiting request's answer:\n", kRepetitions);
    std::printf("  asked on the node the user waits on:  median %6.3f ms, 99th %6.3f ms\n",
                Median(sameNode), Percentile(sameNode, 0.99));
    std::printf("  asked on another node:                median %6.3f ms, 99th %6.3f ms\n",
                Median(crossNode), Percentile(crossNode, 0.99));
    std::printf("added by crossing nodes: %.3f ms (median); cross / same: %.1fx; %d failed\n",
                Median(crossNode) - Median(sameNode), Median(crossNode) / Median(sameNode), failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace brindle::server::bench
