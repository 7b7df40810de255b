// With the shell object's library switched off (WINEDLLOVERRIDES=wshom.ocx=d), creating the
// object fails, and the failure still has something the user can look up.
#include "com_owners.h"
#include "modMain.h"
#include "platform.h"

#include <gtest/gtest.h>

namespace {

TEST(ShellAbsentTest, CreationFailsWithADescription) {
    platform::windows::ComApartment apartment;
    try {
        platform::AutomationObject::Create(u"Wscript.Shell");
        FAIL() << "expected creation to fail with wshom.ocx switched off";
    } catch (const platform::Failure& failure) {
        const platform::Text description = failure.description();
        EXPECT_FALSE(description.empty());
        EXPECT_EQ(description.find_first_of(u"\r\n"), platform::Text::npos);
        std::printf("creation failed with 0x%08X: %ls\n", unsigned(failure.code()),
                    reinterpret_cast<const wchar_t*>(description.c_str()));
    }
}

TEST(ShellAbsentTest, WriteRegistryReportsItAsAFailedWrite) {
    platform::windows::ComApartment apartment;
    platform::Text errText = u"old";
    EXPECT_FALSE(modMain::WriteRegistry(
        u"HKEY_CURRENT_USER\\Software\\TorvaNetWorkTests\\Absent", u"1", errText));
    const platform::Text label = u"错误描述:";
    ASSERT_GT(errText.size(), label.size());
    EXPECT_EQ(errText.substr(0, label.size()), label);
}

}  // namespace
