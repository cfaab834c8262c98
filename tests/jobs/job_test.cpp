#include "jobs/job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jobs/combined_task.h"

TEST(KoJob, SetStateAsksTheApproverOnlyForANewValue) {
    KoJob job;
    int asked = 0;
    bool answer = false;
    job.stateApprover = [&] {
        ++asked;
        return answer;
    };
    // The current state (0) needs no change.
    EXPECT_FALSE(job.setState(0));
    EXPECT_EQ(asked, 0);
    // Refused: requested, not taken.
    EXPECT_FALSE(job.setState(6));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(job.requestedState.load(), 6u);
    EXPECT_EQ(job.state.load(), 0u);
    // Already requested: not asked again.
    EXPECT_FALSE(job.setState(6));
    EXPECT_EQ(asked, 1);
    answer = true;
    EXPECT_TRUE(job.setState(7));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(job.state.load(), 7u);
    EXPECT_EQ(job.requestedState.load(), 7u);
}

TEST(KoJob, DefaultApproverAgreesAndEmptyOneThrows) {
    KoJob job;
    EXPECT_TRUE(job.setState(6));
    EXPECT_EQ(job.state.load(), 6u);
    job.stateApprover = nullptr;
    EXPECT_THROW(job.setState(9), std::bad_function_call);
}

TEST(KoJob, LeavingWithoutAJoinedTaskFindsNothing) {
    KoJob job;
    EXPECT_EQ(job.currentJoinedTask(), "");
    EXPECT_FALSE(job.leaveCurrentJoinedTask(""));
    EXPECT_FALSE(job.leaveJoinedTask("joinedtask*000000000000000000"));
    EXPECT_FALSE(job.withdraw());
}

TEST(KoJob, CurrentJoinedTaskIsRememberedAndForgottenOnLeave) {
    KoJob owner;
    KoJob member;
    std::string joined;
    owner.createJoinedTask(joined, "housekeeping");
    EXPECT_EQ(KoCombinedTask::instance().joinedTaskInfo(joined), "housekeeping");
    EXPECT_TRUE(member.attachToJoinedTask(joined));
    EXPECT_EQ(member.currentJoinedTask(), joined);
    EXPECT_TRUE(KoCombinedTask::instance().knows(member.name));
    EXPECT_TRUE(member.leaveCurrentJoinedTask(""));
    EXPECT_EQ(member.currentJoinedTask(), "");
    EXPECT_FALSE(KoCombinedTask::instance().knows(member.name));
    // A name that no joined task has is still remembered, but attaching fails.
    EXPECT_FALSE(member.attachToJoinedTask("joinedtask*nothing"));
    EXPECT_EQ(member.currentJoinedTask(), "joinedtask*nothing");
    EXPECT_TRUE(owner.leaveJoinedTask(joined));
    EXPECT_FALSE(KoCombinedTask::instance().joinedTaskExists(joined));
}

TEST(KoJob, SecondCreateEntryAndSendOfTheBase) {
    KoJob job;
    std::string joined;
    job.createJoinedTask(joined, "server_7");
    EXPECT_EQ(KoCombinedTask::instance().joinedTaskInfo(joined), "server_7");
    EXPECT_EQ(KoCombinedTask::instance().membersOf(joined), std::set<std::string>{job.name});
    EXPECT_FALSE(job.send(job.name, KoJobMessage{}));
    KoJobMessage message;
    EXPECT_TRUE(job.receive(message));
}

TEST(KoJob, LiveCountFollowsConstructionAndDestruction) {
    const long before = KoJob::liveCount();
    {
        auto a = std::make_unique<KoJob>();
        KoJob b;
        EXPECT_EQ(KoJob::liveCount(), before + 2);
    }
    EXPECT_EQ(KoJob::liveCount(), before);
}

namespace {

class NamedJob : public KoJob {
public:
    ~NamedJob() override { withdraw(); }
};

}  // namespace

TEST(KoJob, ANameIsMadeOnlyWhenReadAndThenNeverChanges) {
    NamedJob job;
    EXPECT_FALSE(job.name.made());
    // Withdrawing and state changes do not need the name.
    EXPECT_FALSE(job.withdraw());
    job.setState(6);
    EXPECT_FALSE(job.name.made());

    const std::string first = job.name;
    EXPECT_TRUE(job.name.made());
    EXPECT_EQ(first.rfind("_job*", 0), 0u) << first;
    EXPECT_EQ(first.size(), 23u);
    EXPECT_EQ(job.name, first);
}

TEST(KoJob, ANameReadFromManyThreadsIsMadeOnce) {
    for (int round = 0; round < 20; ++round) {
        NamedJob job;
        std::vector<std::string> seen(4);
        std::vector<std::thread> readers;
        for (std::size_t i = 0; i < seen.size(); ++i)
            readers.emplace_back([&, i] { seen[i] = job.name.str(); });
        for (auto& reader : readers) reader.join();
        for (const auto& name : seen) EXPECT_EQ(name, seen[0]);
    }
}
