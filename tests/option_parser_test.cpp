#include "traffic_log/log_output.h"

#include <gtest/gtest.h>

TEST(OptionParser, Placeholder) { EXPECT_EQ(log_stream, stdout); }
