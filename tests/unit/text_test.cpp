#include <gtest/gtest.h>

#include "protocol/text.h"

TEST(EqualStringsNoCase, FoldsAsciiLettersOnly)
{
    EXPECT_TRUE(EqualStringsNoCase("-debug", "-DEBUG"));
    EXPECT_FALSE(EqualStringsNoCase("-debug", "-debu"));
}
