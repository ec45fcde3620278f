// The real-time log queue: capacities, drops, re-initialisation, the queue sink, many threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "log.h"

namespace {

void push(LogQueue& queue, const std::string& message, int level = 2) {
  timeval time{};
  queue.enqueue(time, level, 1, 1, "", "", message);
}

std::vector<std::string> drain(LogQueue& queue) {
  std::vector<std::string> messages;
  LogQueueCell cell;
  while (queue.dequeue(cell)) messages.push_back(cell.message);
  return messages;
}

TEST(LogQueue, rounds_the_capacity_up_to_a_power_of_two_of_at_least_two) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 2},       {1, 2},       {2, 2},        {3, 4},
                                                 {1024, 1024}, {1025, 2048}, {65535, 65536}};
  for (const auto& [requested, capacity] : cases) {
    auto queue = std::make_unique<LogQueue>();
    queue->init(requested);
    ASSERT_EQ(queue->capacity, capacity) << requested;
    EXPECT_EQ(queue->mask, capacity - 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(queue->cells) % 64, 0u);
    bool numbered = true;
    for (uint32_t i = 0; i < capacity; ++i) numbered = numbered && queue->cells[i].seq == i;
    EXPECT_TRUE(numbered) << requested;
    EXPECT_EQ(queue->enqueue_pos, 0u);
    EXPECT_EQ(queue->dequeue_pos, 0u);
    EXPECT_EQ(queue->dropped, 0);
  }
}

TEST(LogQueue, refuses_requests_that_reach_two_to_the_twenty_four_cells_and_keeps_its_cells) {
  for (uint32_t requested : {(1u << 24) - 1, 1u << 24, (1u << 31) + 1, 0xFFFFFFFFu}) {
    auto queue = std::make_unique<LogQueue>();
    queue->init(4);
    push(*queue, "kept");
    EXPECT_THROW(queue->init(requested), std::bad_alloc) << requested;
    EXPECT_EQ(queue->capacity, 4u);
    EXPECT_EQ(drain(*queue), std::vector<std::string>{"kept"});
  }
}

TEST(LogQueue, full_queue_keeps_the_first_records_and_counts_each_drop) {
  auto queue = std::make_unique<LogQueue>();
  queue->init(1024);
  for (int i = 0; i < 1025; ++i) push(*queue, std::to_string(i));
  EXPECT_EQ(queue->dropped, 1);
  for (int i = 1025; i < 1030; ++i) push(*queue, std::to_string(i));
  EXPECT_EQ(queue->dropped, 6);
  std::vector<std::string> expected;
  for (int i = 0; i < 1024; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(drain(*queue), expected);
}

TEST(LogQueue, second_init_starts_empty_with_no_drops) {
  auto queue = std::make_unique<LogQueue>();
  queue->init(2);
  for (int i = 0; i < 5; ++i) push(*queue, "old " + std::to_string(i));
  ASSERT_EQ(queue->dropped, 3);
  queue->init(3);
  EXPECT_EQ(queue->capacity, 4u);
  EXPECT_EQ(queue->dropped, 0);
  EXPECT_EQ(queue->enqueue_pos, 0u);
  EXPECT_TRUE(drain(*queue).empty());
  push(*queue, "new");
  EXPECT_EQ(drain(*queue), std::vector<std::string>{"new"});
}

TEST(LogQueue, dequeue_hands_cells_back_for_the_next_lap) {
  auto queue = std::make_unique<LogQueue>();
  queue->init(4);
  for (int lap = 0; lap < 3; ++lap) {
    for (int i = 0; i < 4; ++i) push(*queue, std::to_string(lap * 4 + i));
    EXPECT_EQ(queue->dropped, 0) << lap;
    std::vector<std::string> messages = drain(*queue);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages.front(), std::to_string(lap * 4));
    // A handed-back cell waits for the position one lap later.
    EXPECT_EQ(queue->cells[0].seq, static_cast<uint32_t>((lap + 1) * 4));
  }
}

TEST(LogQueue, keeps_every_field_of_the_record) {
  static const char file[] = "file.cpp";
  auto queue = std::make_unique<LogQueue>();
  queue->init(2);
  timeval time{};
  time.tv_sec = 123456;
  time.tv_usec = 789;
  queue->enqueue(time, 5, 77, 88, file, "function", "message");
  LogQueueCell cell;
  ASSERT_TRUE(queue->dequeue(cell));
  EXPECT_EQ(cell.time.tv_sec, 123456);
  EXPECT_EQ(cell.time.tv_usec, 789);
  EXPECT_EQ(cell.level, 5);
  EXPECT_EQ(cell.thread_id, 77);
  EXPECT_EQ(cell.line, 88);
  EXPECT_EQ(cell.file, file);
  EXPECT_EQ(cell.function_name, "function");
  EXPECT_EQ(cell.message, "message");
  EXPECT_FALSE(queue->dequeue(cell));
}

TEST(LogQueue, works_across_the_wrap_of_its_positions) {
  auto queue = std::make_unique<LogQueue>();
  queue->init(4);
  // As if 2^32 - 2 records had passed: each cell numbered for its next position.
  const uint32_t start = 0xFFFFFFFEu;
  for (uint32_t i = 0; i < 4; ++i) queue->cells[(start + i) & queue->mask].seq = start + i;
  queue->enqueue_pos = start;
  queue->dequeue_pos = start;
  for (int i = 0; i < 5; ++i) push(*queue, std::to_string(i));
  EXPECT_EQ(queue->dropped, 1);
  EXPECT_EQ(drain(*queue), (std::vector<std::string>{"0", "1", "2", "3"}));
  push(*queue, "after");
  EXPECT_EQ(drain(*queue), std::vector<std::string>{"after"});
}

TEST(LogQueue, does_nothing_without_cells) {
  auto queue = std::make_unique<LogQueue>();
  push(*queue, "nowhere");
  LogQueueCell cell;
  EXPECT_FALSE(queue->dequeue(cell));
  EXPECT_EQ(queue->dropped, 0);
}

TEST(QueueSink, ignores_records_until_the_queue_is_ready) {
  log_queue.init(4);
  log_init_done = 0;
  LogRecord early(2, "", 1, "", 0);
  early.stream << "early";
  queue_sink.write(early);
  EXPECT_EQ(log_queue.enqueue_pos, 0u);
  EXPECT_EQ(log_queue.dropped, 0);

  log_init_done = 1;
  static const char file[] = "here.cpp";
  LogRecord record(3, "void f(int)", 321, file, 9);
  record.stream << "text " << 5;
  queue_sink.write(record);
  LogQueueCell cell;
  ASSERT_TRUE(log_queue.dequeue(cell));
  EXPECT_EQ(cell.time.tv_sec, record.time()->tv_sec);
  EXPECT_EQ(cell.time.tv_usec, record.time()->tv_usec);
  EXPECT_EQ(cell.level, 3);
  EXPECT_EQ(cell.thread_id, static_cast<int>(gettid()));
  EXPECT_EQ(cell.line, 321);
  EXPECT_EQ(cell.file, file);
  EXPECT_EQ(cell.function_name, "f");
  EXPECT_EQ(cell.message, "text 5");
  EXPECT_FALSE(log_queue.dequeue(cell));
  log_init_done = 0;
}

constexpr int producers = 8;

// A record's message names its producer and its number among that producer's records.
std::string tag(int producer, int number) {
  return std::to_string(producer) + ":" + std::to_string(number);
}

void parse(const std::string& message, int& producer, int& number) {
  const std::string::size_type colon = message.find(':');
  producer = std::stoi(message.substr(0, colon));
  number = std::stoi(message.substr(colon + 1));
}

void run_producers(LogQueue& queue, int per_producer) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&queue, &go, p, per_producer] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < per_producer; ++i) push(queue, tag(p, i));
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
}

TEST(LogQueueThreads, producers_each_get_their_own_cell_and_lose_nothing_while_cells_are_free) {
  constexpr int per_producer = 2000;
  auto queue = std::make_unique<LogQueue>();
  queue->init(producers * per_producer);
  run_producers(*queue, per_producer);

  EXPECT_EQ(queue->dropped, 0);
  EXPECT_EQ(queue->enqueue_pos, static_cast<uint32_t>(producers * per_producer));
  std::vector<int> next(producers, 0);
  int64_t sum = 0;
  for (const std::string& message : drain(*queue)) {
    int producer = 0, number = 0;
    parse(message, producer, number);
    EXPECT_EQ(number, next[producer]) << message;  // each producer's records in its order
    next[producer] = number + 1;
    sum += producer * 100000 + number;
  }
  int64_t expected = 0;
  for (int p = 0; p < producers; ++p)
    for (int i = 0; i < per_producer; ++i) expected += p * 100000 + i;
  EXPECT_EQ(sum, expected);
  EXPECT_EQ(next, std::vector<int>(producers, per_producer));
}

TEST(LogQueueThreads, a_consumer_receives_what_was_not_dropped_in_each_producers_order) {
  constexpr int per_producer = 5000;
  auto queue = std::make_unique<LogQueue>();
  queue->init(64);
  std::atomic<bool> producing{true};
  std::vector<std::string> received;
  std::thread consumer([&] {
    LogQueueCell cell;
    for (;;) {
      const bool last_round = !producing;
      while (queue->dequeue(cell)) received.push_back(cell.message);
      if (last_round) return;
      std::this_thread::yield();
    }
  });
  run_producers(*queue, per_producer);
  producing = false;
  consumer.join();

  EXPECT_EQ(static_cast<int64_t>(received.size()) + queue->dropped, producers * per_producer);
  std::vector<int> last(producers, -1);
  for (const std::string& message : received) {
    int producer = 0, number = 0;
    parse(message, producer, number);
    EXPECT_GT(number, last[producer]) << message;  // no record twice, none out of order
    last[producer] = number;
  }
}

}  // namespace
