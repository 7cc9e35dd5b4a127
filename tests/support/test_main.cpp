// The main of every test program that has no main of its own.
#include <gtest/gtest.h>

#include "private_marks.h"

int main(int argc, char** argv) {
  use_private_mark_folder();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
