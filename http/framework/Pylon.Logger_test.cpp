// Pylon.Logger: tests of the logging facade.
#include "http/framework/Pylon.Logger.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

namespace pylon {
namespace {

TEST(TLogger, WithoutEngineDoesNothingAndWithOnePassesMessages) {
    TLogger Logger;
    Logger.Log("dropped");
    Logger.Debug("dropped");
    auto Engine = std::make_shared<testing::TTestLogEngine>();
    Logger.SetLogEngine(Engine);
    Logger.Log("one");
    Logger.Debug("two");
    EXPECT_EQ(Engine->Lines(), (std::vector<std::string>{"one", "two"}));
    Logger.SetLogEngine(nullptr);
    Logger.Log("dropped");
    EXPECT_EQ(Engine->Lines().size(), 2u);
}

} // namespace
} // namespace pylon
