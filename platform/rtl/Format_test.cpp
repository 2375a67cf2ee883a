// Format: message texts with "%s" placeholders.
#include "platform/rtl/Format.h"

#include <gtest/gtest.h>

namespace rtl {
namespace {

TEST(FormatText, ReplacesPlaceholdersInOrderAndKeepsTheRest) {
    EXPECT_EQ(FormatText("Origin %s not allowed", {"http://a"}), "Origin http://a not allowed");
    EXPECT_EQ(FormatText("%s: %s", {"E", "boom"}), "E: boom");
    EXPECT_EQ(FormatText("100%% %s", {"sure"}), "100% sure");
    EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and %s");
    EXPECT_EQ(FormatText("none", {"ignored"}), "none");
    EXPECT_EQ(FormatText("trailing %", {}), "trailing %");
}

} // namespace
} // namespace rtl
