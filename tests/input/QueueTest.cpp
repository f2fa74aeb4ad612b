// The queue between the GUI thread and the input thread.
#include <gtest/gtest.h>

#include <QString>
#include <thread>

#include "Queue.h"

namespace {

TEST(Queue, OneProducerOneConsumerKeepOrderAndLoseNothing) {
    constexpr int kCount = 200000;
    Queue<QString> queue;
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            queue.push(QString::number(i));
        }
    });
    int expected = 0;
    while (expected < kCount) {
        const std::optional<QString> item = queue.take();
        if (!item) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(item->toInt(), expected);
        ++expected;
    }
    producer.join();
    EXPECT_FALSE(queue.take().has_value());
}

TEST(Queue, ClearReportsWhatItDropped) {
    Queue<QString> queue;
    EXPECT_EQ(queue.clear(), 0u);
    queue.push("a");
    queue.push("b");
    EXPECT_EQ(queue.clear(), 2u);
    EXPECT_FALSE(queue.take().has_value());
    queue.push("c");
    EXPECT_EQ(queue.take().value_or(QString()), QStringLiteral("c"));
}

}  // namespace
