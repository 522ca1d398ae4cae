#pragma once
// A fixture whose tests run in a single-threaded COM apartment of their own,
// closed after everything the test made is gone.

#include "base/handles.h"

#include <gtest/gtest.h>

class ComTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(apartment_.initialized()); }

  private:
    ComApartment apartment_;
};
