#include "jobs/combined_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "recording_job.h"

namespace {

using namespace std::chrono_literals;

KoCombinedTask& dispatcher() { return KoCombinedTask::instance(); }

void drain() { ASSERT_TRUE(dispatcher().waitIdle(10s)); }

// A member of a joined task owned by `owner`, so that it can be reached.
void join(RecordingJob& member, KoJob& owner) {
    std::string joined;
    owner.createJoinedTask(joined, "test");
    ASSERT_TRUE(member.attachToJoinedTask(joined));
}

}  // namespace

TEST(KoCombinedTask, MemberLeavingTellsTheLastOne) {
    RecordingJob owner;
    RecordingJob member;
    std::string joined;
    owner.createJoinedTask(joined, "housekeeping");
    ASSERT_TRUE(member.attachToJoinedTask(joined));
    EXPECT_TRUE(member.leaveJoinedTask(joined));
    ASSERT_TRUE(owner.waitFor(1));
    drain();
    auto messages = owner.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].code, 6u);
    EXPECT_EQ(messages[0].text, "kommt später");
    EXPECT_EQ(messages[0].name, owner.name);
    EXPECT_TRUE(dispatcher().joinedTaskExists(joined));
    EXPECT_TRUE(member.messages().empty());
    // Leaving twice finds nothing.
    EXPECT_FALSE(member.leaveJoinedTask(joined));
}

TEST(KoCombinedTask, OwnerLeavingDissolvesSilently) {
    RecordingJob owner;
    RecordingJob member;
    std::string joined;
    owner.createJoinedTask(joined, "x");
    ASSERT_TRUE(member.attachToJoinedTask(joined));
    EXPECT_TRUE(owner.leaveJoinedTask(joined));
    EXPECT_FALSE(dispatcher().joinedTaskExists(joined));
    EXPECT_FALSE(dispatcher().knows(member.name));
    EXPECT_TRUE(dispatcher().membersOf(joined).empty());
    drain();
    EXPECT_TRUE(owner.messages().empty());
    EXPECT_TRUE(member.messages().empty());
}

TEST(KoCombinedTask, DestroyedMemberTellsTheLastOne) {
    RecordingJob owner;
    std::string joined;
    owner.createJoinedTask(joined, "x");
    {
        RecordingJob member;
        ASSERT_TRUE(member.attachToJoinedTask(joined));
    }
    ASSERT_TRUE(owner.waitFor(1));
    auto messages = owner.messages();
    EXPECT_EQ(messages[0].code, 6u);
    EXPECT_EQ(messages[0].text, "kommt später A");
    EXPECT_EQ(messages[0].name, owner.name);
}

// The joined task outlives its withdrawn owner; later leaves must not reach it.
TEST(KoCombinedTask, JoinedTaskOutlivesItsDestroyedOwner) {
    RecordingJob b;
    RecordingJob c;
    std::string joined;
    {
        auto owner = std::make_unique<RecordingJob>();
        owner->createJoinedTask(joined, "x");
        ASSERT_TRUE(b.attachToJoinedTask(joined));
        ASSERT_TRUE(c.attachToJoinedTask(joined));
    }
    EXPECT_TRUE(dispatcher().joinedTaskExists(joined));
    EXPECT_EQ(dispatcher().membersOf(joined).size(), 2u);
    EXPECT_TRUE(b.leaveJoinedTask(joined));
    ASSERT_TRUE(c.waitFor(1));
    EXPECT_EQ(c.messages()[0].text, "kommt später");
    EXPECT_TRUE(c.leaveJoinedTask(joined));
    EXPECT_FALSE(dispatcher().joinedTaskExists(joined));
}

TEST(KoCombinedTask, UnknownTargetIsDroppedAndTheNextDelivered) {
    KoJob owner;
    RecordingJob job;
    join(job, owner);
    EXPECT_TRUE(dispatcher().post("_job*nobody", textMessage("lost")));
    EXPECT_TRUE(dispatcher().post(job.name, textMessage("found")));
    ASSERT_TRUE(job.waitFor(1));
    drain();
    ASSERT_EQ(job.messages().size(), 1u);
    EXPECT_EQ(job.messages()[0].text, "found");
}

TEST(KoCombinedTask, JobOutsideAnyJoinedTaskIsNotReached) {
    RecordingJob job;
    dispatcher().post(job.name, textMessage("lost"));
    drain();
    EXPECT_TRUE(job.messages().empty());
}

TEST(KoCombinedTask, ThrowingReceiverIsSwallowed) {
    KoJob owner;
    RecordingJob job;
    join(job, owner);
    std::atomic<int> calls{0};
    job.onReceive = [&](KoJobMessage& message) {
        ++calls;
        if (message.text == "bad") throw std::runtime_error("bad");
    };
    dispatcher().post(job.name, textMessage("bad"));
    dispatcher().post(job.name, textMessage("good"));
    ASSERT_TRUE(job.waitFor(1));
    drain();
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(job.messages().at(0).text, "good");
}

TEST(KoCombinedTask, DeliversInPostingOrderAcrossTargets) {
    KoJob owner;
    RecordingJob a;
    RecordingJob b;
    join(a, owner);
    join(b, owner);
    std::mutex logLock;
    std::vector<std::string> log;
    auto record = [&](KoJobMessage& message) {
        std::lock_guard<std::mutex> guard(logLock);
        log.push_back(message.text);
    };
    a.onReceive = record;
    b.onReceive = record;
    std::vector<std::string> posted;
    for (int i = 0; i < 500; ++i) {
        posted.push_back(std::to_string(i));
        dispatcher().post(i % 3 == 0 ? b.name : a.name, textMessage(posted.back()));
    }
    drain();
    std::lock_guard<std::mutex> guard(logLock);
    EXPECT_EQ(log, posted);
}

TEST(KoCombinedTask, BusyTargetHoldsUpTheQueue) {
    KoJob owner;
    RecordingJob a;
    RecordingJob b;
    join(a, owner);
    join(b, owner);
    std::atomic<bool> aFirst{false};
    b.onReceive = [&](KoJobMessage&) { aFirst.store(!a.messages().empty()); };
    {
        std::lock_guard<KoDeliveryLock> holdBack(a.deliveryLock);
        dispatcher().post(a.name, textMessage("to a"));
        dispatcher().post(b.name, textMessage("to b"));
        EXPECT_FALSE(dispatcher().waitIdle(50ms));
        EXPECT_TRUE(b.messages().empty());
    }
    ASSERT_TRUE(b.waitFor(1));
    EXPECT_TRUE(aFirst.load());
}

TEST(KoCombinedTask, ReceiverMayTakeItsOwnLockAndPost) {
    KoJob owner;
    RecordingJob job;
    join(job, owner);
    job.onReceive = [&](KoJobMessage& message) {
        std::lock_guard<KoDeliveryLock> again(job.deliveryLock);
        if (message.text == "first") dispatcher().post(job.name, textMessage("second"));
    };
    dispatcher().post(job.name, textMessage("first"));
    ASSERT_TRUE(job.waitFor(2));
    EXPECT_EQ(job.messages()[1].text, "second");
}

// A job destroyed while the dispatcher waited for its lock: the message is
// dropped instead of being delivered into freed memory.
TEST(KoCombinedTask, JobDestroyedWhileItsDeliveryWaits) {
    KoJob owner;
    RecordingJob after;
    join(after, owner);
    auto job = std::make_unique<RecordingJob>();
    join(*job, owner);
    job->deliveryLock.lock();
    dispatcher().post(job->name, textMessage("never"));
    dispatcher().post(after.name, textMessage("next"));
    EXPECT_FALSE(dispatcher().waitIdle(30ms));
    job.reset();  // destroyed while its lock is held and a delivery waits for it
    ASSERT_TRUE(after.waitFor(1));
    EXPECT_EQ(after.messages()[0].text, "next");
}

TEST(KoCombinedTask, DestructionWaitsForTheDeliveryInProgress) {
    KoJob owner;
    auto job = std::make_unique<RecordingJob>();
    join(*job, owner);
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> receiveDone{false};
    job->onReceive = [&](KoJobMessage&) {
        entered.set_value();
        release.get_future().wait();
        receiveDone.store(true);
    };
    dispatcher().post(job->name, textMessage("slow"));
    entered.get_future().wait();
    auto destroyer = std::async(std::launch::async, [&] {
        job.reset();
        return receiveDone.load();
    });
    EXPECT_EQ(destroyer.wait_for(30ms), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(destroyer.get());
}

namespace {

// Deletes itself on its first message, touching nothing of itself after.
class SelfDestroyingJob : public KoJob {
public:
    explicit SelfDestroyingJob(std::unique_ptr<KoJob>& holder) : holder_(&holder) {}
    bool receive(KoJobMessage&) override {
        std::unique_ptr<KoJob>* holder = holder_;
        holder->reset();
        return true;
    }

private:
    std::unique_ptr<KoJob>* holder_;
};

// Withdraws nothing itself: only its owner's deleter keeps deliveries out.
class SlowJob : public KoJob {
public:
    SlowJob(std::promise<void>& entered, std::shared_future<void> release, std::atomic<bool>& done)
        : entered_(entered), release_(std::move(release)), done_(done) {}
    bool receive(KoJobMessage&) override {
        entered_.set_value();
        release_.wait();
        done_.store(true);
        return true;
    }

private:
    std::promise<void>& entered_;
    std::shared_future<void> release_;
    std::atomic<bool>& done_;
};

}  // namespace

TEST(KoCombinedTask, DeleterWithdrawsBeforeDestruction) {
    KoJob owner;
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> done{false};
    auto job = koMakeUniqueJob<SlowJob>(entered, release.get_future().share(), done);
    std::string joined;
    owner.createJoinedTask(joined, "slow");
    ASSERT_TRUE(job->attachToJoinedTask(joined));
    dispatcher().post(job->name, textMessage("slow"));
    entered.get_future().wait();
    auto destroyer = std::async(std::launch::async, [&] {
        job.reset();
        return done.load();
    });
    EXPECT_EQ(destroyer.wait_for(30ms), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(destroyer.get());
    auto shared = koMakeSharedJob<RecordingJob>();
    EXPECT_EQ(shared->name.substr(0, 5), "_job*");
}

TEST(KoCombinedTask, JobMayDestroyItselfInReceive) {
    KoJob owner;
    RecordingJob after;
    join(after, owner);
    std::unique_ptr<KoJob> holder;
    holder = std::make_unique<SelfDestroyingJob>(holder);
    std::string joined;
    owner.createJoinedTask(joined, "self");
    ASSERT_TRUE(holder->attachToJoinedTask(joined));
    const std::string name = holder->name;
    dispatcher().post(name, textMessage("die"));
    dispatcher().post(name, textMessage("too late"));
    dispatcher().post(after.name, textMessage("next"));
    ASSERT_TRUE(after.waitFor(1));
    drain();
    EXPECT_EQ(holder, nullptr);
    EXPECT_FALSE(dispatcher().knows(name));
}

TEST(KoCombinedTask, ManyThreadsPostingToManyJobs) {
    constexpr int jobs = 8;
    constexpr int senders = 4;
    constexpr int perSender = 400;
    KoJob owner;
    std::vector<std::unique_ptr<RecordingJob>> targets;
    for (int j = 0; j < jobs; ++j) {
        targets.push_back(std::make_unique<RecordingJob>());
        join(*targets.back(), owner);
    }
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < perSender; ++i) {
                KoJobMessage message = textMessage(std::to_string(i), static_cast<uint32_t>(s));
                dispatcher().post(targets[(i + s) % jobs]->name, message);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    drain();
    std::size_t total = 0;
    for (auto& target : targets) {
        std::vector<int> last(senders, -1);
        for (const auto& message : target->messages()) {
            const int seq = std::stoi(message.text);
            // Each sender's messages arrive in the order it posted them.
            EXPECT_GT(seq, last[message.code]);
            last[message.code] = seq;
            ++total;
        }
    }
    EXPECT_EQ(total, static_cast<std::size_t>(senders * perSender));
}

TEST(KoCombinedTask, JobsComeAndGoWhileMessagesAreInFlight) {
    KoJob owner;
    std::string joined;
    owner.createJoinedTask(joined, "churn");
    // Jobs that live through the test receive every message posted to them.
    constexpr int stableCount = 3;
    std::vector<std::unique_ptr<RecordingJob>> stable;
    std::mutex namesLock;
    std::vector<std::string> names;
    for (int i = 0; i < stableCount; ++i) {
        stable.push_back(std::make_unique<RecordingJob>());
        ASSERT_TRUE(stable.back()->attachToJoinedTask(joined));
        names.push_back(stable.back()->name);
    }
    std::atomic<long> postedToStable{0};
    auto churn = [&](int seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        for (int round = 0; round < 150; ++round) {
            auto job = std::make_unique<RecordingJob>();
            job->attachToJoinedTask(joined);
            {
                std::lock_guard<std::mutex> guard(namesLock);
                names.push_back(job->name);
            }
            for (int i = 0; i < 5; ++i) {
                std::size_t index;
                std::string target;
                {
                    std::lock_guard<std::mutex> guard(namesLock);
                    index = random() % names.size();
                    target = names[index];
                }
                if (index < stableCount) postedToStable.fetch_add(1);
                dispatcher().post(target, textMessage("x"));
            }
            if (random() % 2) job->leaveCurrentJoinedTask("");
            if (random() % 3 == 0) std::this_thread::yield();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(churn, t + 1);
    for (auto& thread : threads) thread.join();
    drain();
    long received = 0;
    for (auto& job : stable) received += static_cast<long>(job->messages().size());
    EXPECT_EQ(received, postedToStable.load());
    EXPECT_EQ(dispatcher().membersOf(joined).size(), 1u + stableCount);
    stable.clear();
    // Only the owner is left.
    EXPECT_EQ(dispatcher().membersOf(joined), std::set<std::string>{owner.name});
    EXPECT_TRUE(owner.leaveJoinedTask(joined));
}

TEST(KoCombinedTask, StoppedDispatcherRefusesPostsAndJoinsItsWorker) {
    auto local = std::make_unique<KoCombinedTask>();
    EXPECT_TRUE(local->post("_job*nobody", textMessage("queued")));
    EXPECT_TRUE(local->waitIdle(10s));
    local->stop();
    EXPECT_TRUE(local->stopped());
    EXPECT_FALSE(local->post("_job*nobody", textMessage("late")));
    local->stop();
    local.reset();
}
