#include "scheduling/work_stealing_pool.hpp"

// The queue library hands its blocks from consumers back to producers through standalone
// fences, which ThreadSanitizer does not understand (it reports the block reuse as a race).
// See QueueAccess below.
#include <concurrentqueue/concurrentqueue.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <latch>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "arvex/fatal.hpp"
#include "scheduling/chase_lev_deque.hpp"
#include "scheduling/event_count.hpp"

namespace arvex {

namespace {

constexpr std::size_t kCacheLine = 64;
// How long an idle thread keeps polling before it parks. A wake-up through the futex costs
// about 10 µs; spinning this long bridges the gaps of a busy stream without one, and pool
// threads sit on cores of their own, so the spin takes no time from other runtime threads.
constexpr auto kSpinBeforePark = std::chrono::microseconds(50);
// Empty polls between two clock reads while spinning.
constexpr unsigned kPollsPerClockRead = 16;
// Every this many polls the global queue is looked at first, so that outside spawns still
// start while pool threads keep feeding themselves local work.
constexpr std::uint32_t kGlobalFirstPeriod = 64;

// Multi-producer, multi-consumer and FIFO per producer: the global queue's producers are the
// outside spawners; a thread's FIFO queue has one producer (the owner) and many consumers (the
// owner and the stealers), which is exactly what spawn order needs. Jobs sit in it by value.
using JobQueue = moodycamel::ConcurrentQueue<UniqueJob>;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
// Under ThreadSanitizer, hides the queue library's own plain memory accesses (see the include).
// Its atomics stay visible, so the release/acquire pair that publishes each job still orders
// the spawner's writes before the runner's reads, and the pool's own code is checked in full.
struct QueueAccess {
  QueueAccess() noexcept {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~QueueAccess() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  }
  QueueAccess(const QueueAccess&) = delete;
  QueueAccess& operator=(const QueueAccess&) = delete;
};
#else
struct QueueAccess {};
#endif

// Every use of a JobQueue goes through these. False from a push means out of memory.
bool queue_push(JobQueue& queue, UniqueJob&& job) {
  [[maybe_unused]] QueueAccess access;
  return queue.enqueue(std::move(job));
}
bool queue_push(JobQueue& queue, moodycamel::ProducerToken& token, UniqueJob&& job) {
  [[maybe_unused]] QueueAccess access;
  return queue.enqueue(token, std::move(job));
}
bool queue_pop(JobQueue& queue, UniqueJob& job) {
  [[maybe_unused]] QueueAccess access;
  return queue.try_dequeue(job);
}

void run_job(UniqueJob& job) noexcept {
  try {
    job();
  } catch (const std::exception& error) {
    fatal_stop("job panicked", error.what());
  } catch (...) {
    fatal_stop("job panicked", "unknown exception");
  }
}

}  // namespace

struct WorkStealingPool::Impl {
  // One pool thread's queues. Owned by the pool, so they outlive the thread that uses them.
  struct alignas(kCacheLine) Thread {
    Thread(Impl& owner, std::size_t i) : pool(&owner), index(i), fifo_token(fifo), next_victim(i + 1) {}

    Impl* pool;
    std::size_t index;
    detail::ChaseLevDeque<UniqueJob> lifo;
    JobQueue fifo;
    moodycamel::ProducerToken fifo_token;  // the owner's; only the owner enqueues into `fifo`
    std::uint32_t polls = 0;               // owner only
    std::size_t next_victim;               // owner only
    std::thread thread;
  };

  // The pool thread running on this OS thread, if any (of whichever pool).
  static thread_local Thread* current;

  Impl(std::size_t thread_count, StartHandler handler, std::chrono::nanoseconds timeout)
      : on_start(std::move(handler)), park_timeout(timeout), started(static_cast<std::ptrdiff_t>(thread_count)) {}

  Thread* own_thread() const noexcept {
    Thread* self = current;
    return self != nullptr && self->pool == this ? self : nullptr;
  }

  void enqueue_global(UniqueJob job) {
    if (!queue_push(global, std::move(job))) fatal_stop("thread pool: out of memory queueing a job");
  }

  // Called after a job is queued. The wake-up handshake with park() is one read-modify-write
  // of `sleepers` on each side, and RMWs of one word are totally ordered, so either
  //  - this RMW comes first: the parking thread's acq_rel increment reads from its release
  //    sequence, so the job queued before it is visible to the parking thread's re-check; or
  //  - the increment comes first: this acq_rel RMW reads a count above 0 and synchronises with
  //    it, so the parking thread's EventCount ticket is older than the notify_one() below.
  // An RMW rather than a seq_cst fence before a load: the argument needs no fence order, and
  // ThreadSanitizer sees it. The price is a cache line that concurrent spawners all write.
  void notify_work() noexcept {
    if (sleepers.fetch_add(0, std::memory_order_acq_rel) != 0) sleep.notify_one();
  }

  UniqueJob find_job(Thread& self) {
    UniqueJob job;
    if (++self.polls % kGlobalFirstPeriod == 0 && queue_pop(global, job)) return job;
    if (auto local = self.lifo.take()) return std::move(*local);
    if (queue_pop(self.fifo, job)) return job;
    if (queue_pop(global, job)) return job;
    return steal(self);
  }

  // Victims in turn from a rotating start, so that stealers do not all pile onto thread 0.
  UniqueJob steal(Thread& self) {
    const std::size_t n = threads.size();
    UniqueJob job;
    for (std::size_t k = 0; k < n; ++k) {
      Thread& victim = *threads[(self.next_victim + k) % n];
      if (&victim == &self) continue;
      if (auto stolen = victim.lifo.steal()) {
        job = std::move(*stolen);
      } else if (!queue_pop(victim.fifo, job)) {
        continue;
      }
      self.next_victim = victim.index + 1;
      return job;
    }
    return job;
  }

  // Announces this thread as a sleeper, re-checks, then sleeps until a spawn or the timeout.
  // Returns a job found by the re-check, else an empty one.
  UniqueJob park(Thread& self) {
    const EventCount::Ticket ticket = sleep.prepare_wait();
    // acq_rel, after the ticket: the handshake described at notify_work(), also used by the
    // destructor for the stop flag.
    sleepers.fetch_add(1, std::memory_order_acq_rel);
    UniqueJob job;
    if (!stop.load(std::memory_order_relaxed)) job = find_job(self);
    if (job || stop.load(std::memory_order_relaxed)) {
      sleep.cancel_wait();
    } else {
      sleep.wait(ticket, park_timeout);
    }
    // Relaxed: leaving needs no ordering; a spawner that still counts this thread only wakes
    // it (or nobody) needlessly.
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    return job;
  }

  void run_thread(Thread& self) {
    current = &self;
    try {
      if (on_start) on_start(self.index);
    } catch (const std::exception& error) {
      fatal_stop("thread pool start handler failed", error.what());
    } catch (...) {
      fatal_stop("thread pool start handler failed", "unknown exception");
    }
    started.count_down();

    unsigned idle_polls = 0;
    std::chrono::steady_clock::time_point idle_since;
    // Relaxed: the flag carries no data, and park() re-reads it inside the wake-up handshake,
    // so a thread never sleeps through it; a busy thread sees it within a job or two.
    while (!stop.load(std::memory_order_relaxed)) {
      UniqueJob job = find_job(self);
      if (!job) {
        if (idle_polls++ == 0) idle_since = std::chrono::steady_clock::now();
        if (idle_polls % kPollsPerClockRead != 0 || std::chrono::steady_clock::now() - idle_since < kSpinBeforePark) {
          cpu_relax();
          continue;
        }
        job = park(self);
      }
      idle_polls = 0;
      if (job) run_job(job);
    }
    current = nullptr;
  }

  StartHandler on_start;
  const std::chrono::nanoseconds park_timeout;
  std::latch started;
  EventCount sleep;
  // Threads between announcing a sleep and leaving it; see notify_work().
  alignas(kCacheLine) std::atomic<std::uint32_t> sleepers{0};
  alignas(kCacheLine) std::atomic<bool> stop{false};
  alignas(kCacheLine) JobQueue global;
  // Filled before any thread starts and never resized, so threads read it without a lock.
  std::vector<std::unique_ptr<Thread>> threads;
};

thread_local WorkStealingPool::Impl::Thread* WorkStealingPool::Impl::current = nullptr;

WorkStealingPool::WorkStealingPool(std::size_t threads, StartHandler on_start, std::chrono::nanoseconds park_timeout) {
  if (threads == 0) fatal_stop("thread pool needs at least one thread");
  impl_ = std::make_unique<Impl>(threads, std::move(on_start), park_timeout);
  impl_->threads.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) impl_->threads.push_back(std::make_unique<Impl::Thread>(*impl_, i));
  for (auto& thread : impl_->threads) {
    try {
      thread->thread = std::thread([impl = impl_.get(), self = thread.get()] { impl->run_thread(*self); });
    } catch (const std::system_error& error) {
      fatal_stop("failed to spawn thread", error.what());
    }
  }
  impl_->started.wait();
}

WorkStealingPool::~WorkStealingPool() {
  if (impl_->own_thread() != nullptr) fatal_stop("thread pool destroyed from one of its own threads");
  // The stop flag goes through the same handshake as a queued job (see notify_work()).
  impl_->stop.store(true, std::memory_order_relaxed);
  impl_->sleepers.fetch_add(0, std::memory_order_acq_rel);
  impl_->sleep.notify_all();
  for (auto& thread : impl_->threads) thread->thread.join();
  // The queues, and the jobs still in them, are destroyed with impl_.
}

std::size_t WorkStealingPool::thread_count() const noexcept { return impl_->threads.size(); }

bool WorkStealingPool::stop_requested() const noexcept {
  // Relaxed: the flag publishes no data; a caller polling it sees the store soon enough.
  return impl_->stop.load(std::memory_order_relaxed);
}

void WorkStealingPool::spawn(UniqueJob job) {
  if (!job) return;
  if (Impl::Thread* self = impl_->own_thread()) {
    self->lifo.push(std::make_unique<UniqueJob>(std::move(job)));
  } else {
    impl_->enqueue_global(std::move(job));
  }
  impl_->notify_work();
}

void WorkStealingPool::spawn_fifo(UniqueJob job) {
  if (!job) return;
  if (Impl::Thread* self = impl_->own_thread()) {
    if (!queue_push(self->fifo, self->fifo_token, std::move(job))) fatal_stop("thread pool: out of memory queueing a job");
  } else {
    impl_->enqueue_global(std::move(job));
  }
  impl_->notify_work();
}

}  // namespace arvex
