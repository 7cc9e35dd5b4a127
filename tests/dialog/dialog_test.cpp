#include <gtest/gtest.h>
TEST(Dialog, Builds) {}
