#pragma once
// Names each generated test after the `name` of its table row.

#include <gtest/gtest.h>

#include <string>

namespace arvex::test_support {

template <class Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

}  // namespace arvex::test_support
