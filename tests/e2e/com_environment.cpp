// Initialises COM on the test thread for the whole run of the end-to-end tests.
#include <gtest/gtest.h>
#include <objbase.h>

namespace {

class ComEnvironment : public ::testing::Environment {
public:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void TearDown() override { CoUninitialize(); }
};

const auto* registered = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

} // namespace
