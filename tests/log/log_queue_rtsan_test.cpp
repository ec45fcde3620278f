// The real-time log queue under RealtimeSanitizer, which aborts the process on any allocation,
// free, lock or blocking call inside LogQueue::enqueue.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "log.h"

namespace {

// Texts past the strings' inline room, so every record brings a buffer of its own.
TEST(LogQueueRealtime, enqueue_hands_long_texts_over_without_an_unsafe_call) {
  auto queue = std::make_unique<LogQueue>();
  queue->init(4);
  const std::string function(64, 'f');
  LogQueueCell out;
  for (int lap = 0; lap < 3; ++lap) {
    for (int i = 0; i < 4; ++i) {
      // The texts are copied here, outside enqueue, as the queue sink does.
      std::string message = std::string(100, 'm') + std::to_string(lap * 4 + i);
      queue->enqueue(timeval{}, 2, 1, 1, "", function, std::move(message));
    }
    queue->enqueue(timeval{}, 2, 1, 1, "", function, std::string(100, 'x'));  // full: dropped
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(queue->dequeue(out));
      EXPECT_EQ(out.message, std::string(100, 'm') + std::to_string(lap * 4 + i));
      EXPECT_EQ(out.function_name, function);
    }
  }
  EXPECT_EQ(queue->dropped, 3);
}

}  // namespace
