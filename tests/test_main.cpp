// Test entry point: every test runs in UTC with the C locale, so dates and
// sorting do not depend on the machine, and with the source tree's string
// table, so a test program finds it however it is started (by CTest or by
// hand), as do the stand-ins it starts.
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
  // A table named by the caller wins: some tests run with one of their own.
  setenv("ULMORA_STRING_TABLE", ULMORA_SOURCE_STRING_TABLE, 0);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
