// Test entry point: every test runs in UTC with the C locale, so dates and
// sorting do not depend on the machine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("LC_ALL", "C", 1);
  std::setlocale(LC_ALL, "C");
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
