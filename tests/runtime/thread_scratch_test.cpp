// Thread scratch buffers: reused across borrows on one thread, separate per thread, and a
// nested borrow on the same thread stops the program.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "runtime/thread_scratch.hpp"

namespace arvex {
namespace {

TEST(ThreadScratch, KeepsItsContentsAndCapacityBetweenBorrows) {
  {
    auto args = ARG_BUF.borrow();
    args->clear();
    args->assign(100, CmTypes::make_i32(1));
  }
  auto args = ARG_BUF.borrow();
  EXPECT_EQ(args->size(), 100u) << "the same vector comes back; callers clear it themselves";
  EXPECT_GE(args->capacity(), 100u);
}

TEST(ThreadScratch, EachThreadHasItsOwn) {
  auto mine = TASK_COMP_BUF.borrow();
  mine->clear();
  mine->push_back({});
  std::size_t seen_elsewhere = 1;
  bool borrowed_elsewhere = true;
  std::thread([&] {
    borrowed_elsewhere = TASK_COMP_BUF.borrowed();
    seen_elsewhere = TASK_COMP_BUF.borrow()->size();
  }).join();
  EXPECT_FALSE(borrowed_elsewhere) << "a borrow on another thread does not reach this one";
  EXPECT_EQ(seen_elsewhere, 0u);
}

TEST(ThreadScratchDeathTest, NestedBorrowOnOneThreadStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a sanitizer or an earlier test may have threads running
  struct Case {
    const char* name;
    std::function<void()> nested;
  };
  const Case cases[] = {
      {"ARG_BUF", [] { auto a = ARG_BUF.borrow(); auto b = ARG_BUF.borrow(); }},
      {"PREP_ARGS_BUF", [] { auto a = PREP_ARGS_BUF.borrow(); auto b = PREP_ARGS_BUF.borrow(); }},
      {"TASK_COMP_BUF", [] { auto a = TASK_COMP_BUF.borrow(); auto b = TASK_COMP_BUF.borrow(); }},
      {"BATCH_INNER_BUFS", [] { auto a = BATCH_INNER_BUFS.borrow(); auto b = BATCH_INNER_BUFS.borrow(); }},
      {"WORKER_BUFS", [] { auto a = WORKER_BUFS.borrow(); auto b = WORKER_BUFS.borrow(); }},
      {"NODE_ARG_TEMPLATES", [] { auto a = NODE_ARG_TEMPLATES.borrow(); auto b = NODE_ARG_TEMPLATES.borrow(); }},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(c.nested(), ::testing::ExitedWithCode(101),
                std::string("thread scratch buffer borrowed again on the same thread while in use: ") + c.name)
        << c.name;
  }
}

TEST(ThreadScratch, DifferentBuffersMayBeBorrowedTogether) {
  auto args = ARG_BUF.borrow();
  auto batch = BATCH_INNER_BUFS.borrow();
  auto worker = WORKER_BUFS.borrow();
  EXPECT_TRUE(ARG_BUF.borrowed() && BATCH_INNER_BUFS.borrowed() && WORKER_BUFS.borrowed());
}

}  // namespace
}  // namespace arvex
