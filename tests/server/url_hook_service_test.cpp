#include "server/hooks/url_hook_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../jobs/recording_job.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "message/x_header.h"

using namespace std::chrono_literals;

namespace {

// A worker that starts (or not) at once and records the requests it takes.
class FakeWorker : public KoTransceiverServerL0 {
public:
    FakeWorker(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, bool starts)
        : KoTransceiverServerL0(scheduler, transceiver, "client", "worker", "tag", nullptr, false), starts(starts) {}
    ~FakeWorker() override { withdraw(); }

    bool start() override {
        if (!starts) {
            std::lock_guard<std::mutex> lock(textLock);
            statusText = "refused on purpose";
        }
        return starts;
    }
    bool takeDescription(std::shared_ptr<KoXHeader> description, const std::string&, bool) override {
        std::lock_guard<std::mutex> lock(mutex);
        taken.push_back(description->name);
        return true;
    }
    std::vector<std::string> Taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return taken;
    }

    const bool starts;

private:
    std::mutex mutex;
    std::vector<std::string> taken;
};

std::shared_ptr<KoXHeader> Request(const std::string& path = "/") {
    auto request = std::make_shared<KoXHeader>(1, false, protocol::HTTP);
    request->messageKind = message_kind::Request;
    request->host = "127.0.0.1";
    request->port = 9;
    request->path = path;
    return request;
}

struct ServiceFixture : ::testing::Test {
    KoKessaScheduler2 scheduler;
    std::unique_ptr<KoTransceiver> transceiver = std::make_unique<KoTransceiver>(scheduler);
    bool workersStart = true;
    std::mutex made;
    std::vector<std::shared_ptr<FakeWorker>> workers;
    std::mutex answersLock;
    std::condition_variable answered;
    std::vector<std::pair<std::string, std::shared_ptr<KoXHeader>>> answers;
    std::shared_ptr<KoURLHookService> service;

    void SetUp() override { service = Make("client1"); }
    void TearDown() override {
        service.reset();
        workers.clear();
        transceiver.reset();
    }

    std::shared_ptr<KoURLHookService> Make(const std::string& clientId) {
        KoURLHookWorkerFactory factory = [this](KoKessaScheduler2& s, KoTransceiver& t, const std::string&,
                                                const std::string&, std::shared_ptr<KoXHeader>, const std::string&,
                                                KoServerCallback) -> std::shared_ptr<KoTransceiverServerL0> {
            auto worker = std::make_shared<FakeWorker>(s, t, workersStart);
            std::lock_guard<std::mutex> lock(made);
            workers.push_back(worker);
            return worker;
        };
        KoURLHookAnswerSink sink = [this](const std::string& source, std::shared_ptr<KoXHeader> answer) {
            std::lock_guard<std::mutex> lock(answersLock);
            answers.emplace_back(source, answer);
            answered.notify_all();
        };
        auto made = std::shared_ptr<KoURLHookService>(
            new KoURLHookService(scheduler, *transceiver, clientId, "svc", clientId, nullptr, factory, sink),
            KoJobDeleter());
        made->attach(*transceiver);
        return made;
    }

    // Ten busy workers, one request each.
    void FillWorkers() {
        for (int i = 0; i < 10; ++i) {
            bool started = true;
            EXPECT_EQ(service->dispatch(Request(), started, false), nullptr);
            EXPECT_FALSE(started);
        }
        ASSERT_EQ(workers.size(), 10u);
    }

    void Finished(const std::shared_ptr<FakeWorker>& worker, KoStringMap values = {}) {
        KoJobMessage message;
        message.code = 5;
        message.name = worker->name;
        message.values = std::move(values);
        service->receive(message);
    }

    bool WaitForAnswers(std::size_t count) {
        std::unique_lock<std::mutex> lock(answersLock);
        return answered.wait_for(lock, 10s, [&] { return answers.size() >= count; });
    }
};

TEST_F(ServiceFixture, EleventhRequestWaitsUntilAWorkerFinishes) {
    FillWorkers();
    auto eleventh = Request("/eleventh");
    bool started = true;
    EXPECT_EQ(service->dispatch(eleventh, started, false), nullptr);
    EXPECT_FALSE(started);
    EXPECT_EQ(workers.size(), 10u) << "no eleventh worker";
    EXPECT_EQ(service->waitingCount(), 1u);
    EXPECT_EQ(service->load(), 11u);

    Finished(workers[3]);
    EXPECT_EQ(service->waitingCount(), 0u);
    ASSERT_EQ(workers[3]->Taken().size(), 2u);
    EXPECT_EQ(workers[3]->Taken()[1], eleventh->name);
    EXPECT_EQ(service->load(), 10u);
    EXPECT_EQ(service->IdleCount(), 0u);
}

TEST_F(ServiceFixture, FinishedWorkerWithoutWaitingRequestsTurnsIdleAndIsReused) {
    bool started = false;
    service->dispatch(Request(), started, false);
    ASSERT_EQ(workers.size(), 1u);
    Finished(workers[0]);
    EXPECT_EQ(service->IdleCount(), 1u);
    EXPECT_EQ(service->load(), 0u);

    auto next = Request("/next");
    EXPECT_EQ(service->dispatch(next, started, false), nullptr);
    EXPECT_EQ(workers.size(), 1u) << "the idle worker is reused";
    EXPECT_EQ(workers[0]->Taken().back(), next->name);
}

TEST_F(ServiceFixture, PriorityRequestGoesAheadOfTheQueue) {
    FillWorkers();
    auto first = Request("/a");
    auto second = Request("/b");
    auto urgent = Request("/urgent");
    bool started = false;
    service->dispatch(first, started, false);
    service->dispatch(second, started, false);
    service->dispatch(urgent, started, true);
    EXPECT_EQ(service->waitingCount(), 3u);

    Finished(workers[0]);
    Finished(workers[1]);
    Finished(workers[2]);
    EXPECT_EQ(workers[0]->Taken().back(), urgent->name);
    EXPECT_EQ(workers[1]->Taken().back(), first->name);
    EXPECT_EQ(workers[2]->Taken().back(), second->name);
}

TEST_F(ServiceFixture, WorkerThatCannotStartLeavesTheRequestWithTheCaller) {
    workersStart = false;
    auto request = Request();
    bool started = false;
    EXPECT_EQ(service->dispatch(request, started, false), request);
    EXPECT_TRUE(started);
    EXPECT_EQ(service->WorkerCount(), 0u);
    EXPECT_EQ(service->load(), 0u);
    EXPECT_TRUE(answers.empty()) << "the plain form leaves answering to the caller";
}

TEST_F(ServiceFixture, RequestsWithoutTransceiverOrMessageAreHandedBack) {
    bool started = false;
    EXPECT_EQ(service->dispatch(nullptr, started, false), nullptr);
    service->detach(*transceiver);
    auto request = Request();
    EXPECT_EQ(service->dispatch(request, started, false), request);
    EXPECT_TRUE(workers.empty());
}

TEST_F(ServiceFixture, RoutedRequestWhoseWorkerCannotStartGetsAnErrorAnswer) {
    workersStart = false;
    auto request = Request();
    EXPECT_TRUE(service->takeDescription(request, {}, false));
    ASSERT_TRUE(WaitForAnswers(1));
    std::lock_guard<std::mutex> lock(answersLock);
    EXPECT_EQ(answers[0].first, request->name);
    EXPECT_EQ(answers[0].second->statusCode, 502);
    EXPECT_EQ(answers[0].second->messageKind.load(), message_kind::Answer);
    EXPECT_EQ(answers[0].second->Body(), "refused on purpose");
}

TEST_F(ServiceFixture, RoutedRequestsStartWorkersOffTheCallersThread) {
    for (int i = 0; i < 3; ++i) service->takeDescription(Request(), {}, false);
    const auto until = std::chrono::steady_clock::now() + 10s;
    // A worker is counted once made, and takes its request a moment later.
    const auto everyWorkerTookOne = [&] {
        std::lock_guard<std::mutex> lock(made);
        if (workers.size() < 3) return false;
        for (auto& worker : workers)
            if (worker->Taken().empty()) return false;
        return true;
    };
    while (!everyWorkerTookOne() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(service->WorkerCount(), 3u);
    std::lock_guard<std::mutex> lock(made);
    for (auto& worker : workers) EXPECT_EQ(worker->Taken().size(), 1u);
}

TEST_F(ServiceFixture, EndedWorkerIsForgottenAndItsSlotServesTheQueue) {
    FillWorkers();
    auto queued = Request("/queued");
    bool started = false;
    service->dispatch(queued, started, false);

    KoJobMessage ended;
    ended.code = 1;
    ended.name = workers[5]->name;
    service->receive(ended);
    EXPECT_EQ(service->waitingCount(), 0u);
    // The eleventh worker is made on a scheduler thread: read the list under its lock only.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::mutex> lock(made);
            if (workers.size() == 11 && !workers[10]->Taken().empty()) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::lock_guard<std::mutex> lock(made);
    ASSERT_EQ(workers.size(), 11u);
    EXPECT_EQ(workers[10]->Taken().front(), queued->name);
}

TEST_F(ServiceFixture, FinishedTaskWithCtaskTellsTheOwningClient) {
    auto owner = std::make_shared<RecordingJob>();
    std::string task;
    owner->createJoinedTask(task, "owner");  // makes it reachable by name
    service = Make(owner->name);
    bool started = false;
    service->dispatch(Request(), started, false);
    ASSERT_EQ(workers.size(), 1u);

    Finished(workers[0], {{"status", "200"}});
    Finished(workers[0], {{"ctask", "job-17"}, {"status", "200"}});
    ASSERT_TRUE(owner->waitFor(1));
    std::this_thread::sleep_for(50ms);
    const auto got = owner->messages();
    ASSERT_EQ(got.size(), 1u) << "only the message with ctask is passed on";
    EXPECT_EQ(got[0].code, 6u);
    EXPECT_EQ(got[0].name, service->name);
    EXPECT_EQ(got[0].values.at("ctask"), "job-17");
    EXPECT_EQ(got[0].values.at("status"), "200");
}

}  // namespace
