#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "message/x_header.h"

namespace {

// The spares of a thread were once thread_local objects, and the Windows
// toolchain freed them before their destructors ran when the thread ended:
// a message destroyed then wrote into freed memory. Messages made while a
// thread keeps spares now outlive them anywhere: after the keeping ends, on
// another thread, and with spares of another thread in force.
TEST(SpareBuffers, MessagesOutliveTheSparesOfTheirThread) {
    const auto makeRequest = [](int i) {
        auto request = std::allocate_shared<KoXHeader>(spare_buffers::SpareBlockAllocator<KoXHeader>(), 0, false,
                                                       protocol::HTTP);
        request->FieldValues("host").push_back("host-" + std::to_string(i));
        request->FieldValues("user-agent").push_back(std::string(40, 'a' + static_cast<char>(i)));
        return request;
    };
    std::vector<std::shared_ptr<KoXHeader>> kept;
    std::thread maker([&] {
        {
            const spare_buffers::ThreadSpares spares;
            for (int i = 0; i < 20; ++i) {
                auto request = makeRequest(i);
                auto answer = request->MakeAnswer();
                answer->FieldValues("etag").push_back("\"" + std::to_string(i) + "\"");
                spare_buffers::give(std::string(200, 'x'));
                if (i % 2 == 0) kept.push_back(std::move(request));
            }
            EXPECT_GE(spare_buffers::takeString().capacity(), 200u);
        }
        // Kept nothing now: destroyed messages free what they hold.
        kept.resize(5);
        EXPECT_EQ(spare_buffers::takeString().capacity(), std::string().capacity());
    });
    maker.join();
    ASSERT_EQ(kept.size(), 5u);
    EXPECT_EQ(kept[4]->fields["host"], std::vector<std::string>{"host-8"});
    std::thread other([&] {
        const spare_buffers::ThreadSpares spares;
        kept.clear();
        // Given to this thread's spares, and taken again whole and empty.
        auto request = makeRequest(3);
        EXPECT_EQ(request->fields.size(), 2u);
        EXPECT_EQ(request->fields["user-agent"], std::vector<std::string>{std::string(40, 'd')});
    });
    other.join();
}

// A connection's output queue and input buffer go back whole once empty:
// the next one taken on the thread is that one, emptied, its room kept; the
// pieces' own bytes go to the string spares. A thread without spares gets
// new ones.
TEST(SpareBuffers, ConnectionBuffersComeBackEmptyWithTheirRoom) {
    std::thread([] {
        const spare_buffers::ThreadSpares spares;
        auto queue = spare_buffers::takeQueue();
        for (int i = 0; i < 8; ++i) queue->pieces.push_back(KoOutputPiece{.own = std::string(300, 'q')});
        queue->headIndex = 3;
        queue->headSent = 7;
        const KoOutputQueue* given = queue.get();
        const std::size_t room = queue->pieces.capacity();
        spare_buffers::give(std::move(queue));
        EXPECT_EQ(queue, nullptr);
        auto again = spare_buffers::takeQueue();
        EXPECT_EQ(again.get(), given);
        EXPECT_TRUE(again->pieces.empty());
        EXPECT_EQ(again->headIndex, 0u);
        EXPECT_EQ(again->headSent, 0u);
        EXPECT_EQ(again->pieces.capacity(), room);
        EXPECT_GE(spare_buffers::takeString().capacity(), 300u);

        auto input = spare_buffers::takeBuffer();
        input->assign(1000, 'i');
        const std::string* held = input.get();
        spare_buffers::give(std::move(input));
        auto next = spare_buffers::takeBuffer();
        EXPECT_EQ(next.get(), held);
        EXPECT_TRUE(next->empty());
        EXPECT_GE(next->capacity(), 1000u);
    }).join();
    std::thread([] {
        auto queue = spare_buffers::takeQueue();
        ASSERT_NE(queue, nullptr);
        EXPECT_TRUE(queue->empty());
        spare_buffers::give(std::move(queue));  // freed: nothing keeps it
        EXPECT_NE(spare_buffers::takeQueue(), nullptr);
        EXPECT_NE(spare_buffers::takeBuffer(), nullptr);
    }).join();
}

// A resting connection gives its description's nodes back and makes the
// description again from them at its next request: each comes back empty,
// its key and value keeping their room, and a thread without spares keeps
// none.
TEST(SpareBuffers, ValueNodesComeBackEmptyWithTheirRoom) {
    const auto nodeOf = [](const std::string& key, const std::string& value) {
        std::map<std::string, std::string> map{{key, value}};
        return map.extract(map.begin());
    };
    std::thread loop([&] {
        const spare_buffers::ThreadSpares spares;
        spare_buffers::give(nodeOf("localprotocolstring", std::string(30, 'v')));
        spare_buffers::ValueNode node = spare_buffers::takeValueNode();
        ASSERT_FALSE(node.empty());
        EXPECT_TRUE(node.key().empty() && node.mapped().empty());
        EXPECT_GE(node.key().capacity(), 19u);
        EXPECT_GE(node.mapped().capacity(), 30u);
        EXPECT_TRUE(spare_buffers::takeValueNode().empty());  // given once, taken once
    });
    loop.join();
    spare_buffers::give(nodeOf("ID", "x"));
    EXPECT_TRUE(spare_buffers::takeValueNode().empty());
}

}  // namespace
