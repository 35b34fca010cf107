#include "traffic_log/log_output.h"

#include <gtest/gtest.h>

TEST(LogOutput, Placeholder) { EXPECT_EQ(log_stream, stdout); }
