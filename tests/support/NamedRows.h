// Names parameterised rows after their Name field, so a failing row names itself and runs alone.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace mosaicer::testing {

struct TRowName {
  template <typename TRow>
  std::string operator()(const ::testing::TestParamInfo<TRow>& row) const {
    return row.param.Name;
  }
};

}  // namespace mosaicer::testing
