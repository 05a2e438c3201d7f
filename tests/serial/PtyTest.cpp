#include <gtest/gtest.h>
TEST(Pty, Placeholder) {}
