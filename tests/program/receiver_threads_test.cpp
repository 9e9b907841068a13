#include <gtest/gtest.h>

#include "program/receiver_threads.hpp"

namespace arvex {
namespace {

TEST(ReceiverThreads, NoneWithoutANetworkSource) {
  EXPECT_EQ(effective_receiver_threads(4, false), 0u);
  EXPECT_EQ(effective_receiver_threads(4, true), 4u);
}

}  // namespace
}  // namespace arvex
