// The real-time log queue: a bounded multi-producer ring with a sequence number per cell.
#include <new>
#include <utility>

#include "log.h"

// A cell at position p is free for p when seq == p and holds p's record when seq == p + 1;
// the consumer hands it back for p + capacity. Positions run modulo 2^32 and are compared
// by their signed 32-bit difference.

namespace {
constexpr uint64_t max_cells = uint64_t{1} << 24;  // beyond the largest object on 32-bit ARM
constexpr std::align_val_t cell_alignment{alignof(LogQueueCell)};

// Not new[]: on 32-bit ARM its array cookie is 8 bytes whatever the alignment, which would put
// every cell 8 bytes off its 64-byte line.
LogQueueCell* allocate_cells(uint32_t count) {
  auto* cells =
      static_cast<LogQueueCell*>(::operator new(sizeof(LogQueueCell) * count, cell_alignment));
  for (uint32_t i = 0; i < count; ++i) new (&cells[i]) LogQueueCell();  // zero, empty strings
  return cells;
}

void free_cells(LogQueueCell* cells, uint32_t count) {
  if (cells == nullptr) return;
  for (uint32_t i = count; i-- > 0;) cells[i].~LogQueueCell();  // from the last to the first
  ::operator delete(cells, cell_alignment);
}
}  // namespace

void LogQueue::init(uint32_t requested) {
  uint64_t wanted = 2;  // 64-bit, so that rounding up a huge request cannot wrap to 0
  while (wanted < requested) wanted <<= 1;
  if (wanted >= max_cells) throw std::bad_alloc();
  const uint32_t count = static_cast<uint32_t>(wanted);

  LogQueueCell* fresh = allocate_cells(count);
  free_cells(cells, capacity);
  cells = fresh;

  capacity = count;
  mask = count - 1;
  for (uint32_t i = 0; i < count; ++i) cells[i].seq.store(i, std::memory_order_relaxed);
  enqueue_pos.store(0, std::memory_order_relaxed);
  dequeue_pos.store(0, std::memory_order_relaxed);
  dropped.store(0);
}

namespace {

// The cell for the next free position, taken for this producer; null when the queue is full.
LogQueueCell* claim_cell(LogQueue& queue, uint32_t& pos) PALVEX_REALTIME {
  pos = queue.enqueue_pos.load(std::memory_order_relaxed);
  for (;;) {
    LogQueueCell* cell = &queue.cells[pos & queue.mask];
    // (1) This acquire load synchronises with the consumer's release store (4), so the
    // consumer is done with the cell's old contents before they are overwritten.
    const uint32_t seq = cell->seq.load(std::memory_order_acquire);
    const int32_t diff = static_cast<int32_t>(seq - pos);
    if (diff == 0) {
      if (queue.enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
        return cell;
      // pos now holds the position the other producer left.
    } else if (diff < 0) {
      // Full: the real-time side never waits for the consumer.
      queue.dropped.fetch_add(1, std::memory_order_relaxed);
      return nullptr;
    } else {
      pos = queue.enqueue_pos.load(std::memory_order_relaxed);  // another producer took pos
    }
  }
}

}  // namespace

// The compiler cannot see that the texts' moves neither allocate nor free: a move hands the
// parameter's buffer over, and a free cell's strings hold none (dequeue leaves them so) that
// could come back to the parameter and be freed with it. RealtimeSanitizer checks it.
PALVEX_UNPROVEN_BEGIN
void LogQueue::enqueue(const timeval& time, int level, int thread_id, int line, const char* file,
                       std::string function_name, std::string message) PALVEX_REALTIME {
  if (cells == nullptr) return;
  uint32_t pos = 0;
  LogQueueCell* cell = claim_cell(*this, pos);
  if (cell == nullptr) return;
  cell->time = time;
  cell->level = level;
  cell->thread_id = thread_id;
  cell->line = line;
  cell->file = file;
  cell->function_name = std::move(function_name);
  cell->message = std::move(message);
  // (2) Publishes the cell; pairs with the consumer's acquire load (3).
  cell->seq.store(pos + 1, std::memory_order_release);
}
PALVEX_UNPROVEN_END

bool LogQueue::dequeue(LogQueueCell& out) {
  if (cells == nullptr) return false;
  const uint32_t pos = dequeue_pos.load(std::memory_order_relaxed);
  LogQueueCell& cell = cells[pos & mask];
  // (3) Synchronises with the producer's release store (2): the cell's contents are complete.
  const uint32_t seq = cell.seq.load(std::memory_order_acquire);
  if (static_cast<int32_t>(seq - (pos + 1)) != 0) return false;  // not filled yet

  out.time = cell.time;
  out.level = cell.level;
  out.thread_id = cell.thread_id;
  out.line = cell.line;
  out.file = cell.file;
  out.function_name = std::move(cell.function_name);
  out.message = std::move(cell.message);
  // Leave the cell's strings without storage, so that a producer moving its texts in never
  // frees memory on the real-time thread.
  std::string().swap(cell.function_name);
  std::string().swap(cell.message);

  dequeue_pos.store(pos + 1, std::memory_order_relaxed);
  // (4) Hands the cell back for the position one lap later; pairs with the acquire load (1).
  cell.seq.store(pos + capacity, std::memory_order_release);
  return true;
}

void LogQueue::release() {
  free_cells(cells, capacity);
  cells = nullptr;
  capacity = 0;
  mask = 0;
}

LogQueue::~LogQueue() { release(); }
