// With no display that a window can be made on (DISPLAY names none), no box can be shown:
// ShowMessageBox must say so rather than return as if the box had been answered.
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(NoDisplayTest, MessageBoxThatCannotBeMadeRaises) {
    try {
        platform::ShowMessageBox(u"TorvaNetWork", platform::kStyleInformation, u"TorvaNetWork");
        FAIL() << "expected a platform failure: no window can be made, so no box was shown";
    } catch (const platform::Failure& failure) {
        EXPECT_TRUE(platform::IsFailureCode(failure.code())) << failure.code();
        std::printf("no box: 0x%08X\n", unsigned(failure.code()));
    }
}

}  // namespace
