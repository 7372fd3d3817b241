// Checks that a statement throws exactly the given exception type with exactly the given text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#define EXPECT_THROW_MSG(statement, type, text)                                  \
  do {                                                                           \
    try {                                                                        \
      statement;                                                                 \
      ADD_FAILURE() << "no exception from " #statement;                         \
    } catch (const type& e_) {                                                   \
      EXPECT_EQ(std::string(e_.what()), std::string(text)) << "from " #statement; \
    } catch (const std::exception& e_) {                                         \
      ADD_FAILURE() << "wrong exception type from " #statement ": " << e_.what(); \
    }                                                                            \
  } while (false)
