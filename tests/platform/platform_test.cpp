// The Windows platform layer and the registry operations against the real "Wscript.Shell"
// object, registry and system texts (run under Wine). Values go to a scratch key under
// HKEY_CURRENT_USER of the test's private prefix.
#include "com_owners.h"
#include "modMain.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using platform::AutomationObject;
using platform::Failure;
using platform::Text;
using platform::Value;

const Text kScratchKey = u"HKEY_CURRENT_USER\\Software\\TorvaNetWorkTests\\";

class ShellObjectTest : public ::testing::Test {
protected:
    // Fails the test unless `call` raises a Failure; returns it.
    template <typename Call>
    static Failure ExpectFailure(Call call) {
        try {
            call();
        } catch (const Failure& failure) {
            return failure;
        }
        ADD_FAILURE() << "expected a platform failure";
        return Failure(0, [] { return Text(); });
    }

    // Also prints what the platform said, for the record of a run.
    static void ExpectUsableDescription(const char* what, const Failure& failure) {
        const Text description = failure.description();
        std::printf("%s: 0x%08X %ls\n", what, unsigned(failure.code()),
                    reinterpret_cast<const wchar_t*>(description.c_str()));
        ExpectUsableDescription(description);
    }

    static void ExpectUsableDescription(const Text& description) {
        EXPECT_FALSE(description.empty()) << "the user always gets something to look up";
        if (!description.empty()) {
            EXPECT_NE(description.back(), u'\n') << "no trailing line break";
            EXPECT_NE(description.back(), u'\r') << "no trailing line break";
        }
    }

    platform::windows::ComApartment apartment;
};

TEST_F(ShellObjectTest, DwordWrittenAsTextReadsBackAsTheNumberWhateverTheMethodNamesCase) {
    const std::pair<Text, Text> spellings[] = {
        {u"Regwrite", u"RegRead"}, {u"regwrite", u"REGREAD"}, {u"REGWRITE", u"regread"}};
    for (const auto& [write, read] : spellings) {
        SCOPED_TRACE(std::string(write.begin(), write.end()));
        auto shell = AutomationObject::Create(u"Wscript.Shell");
        EXPECT_EQ(shell.Call(write, {kScratchKey + write, u"1", u"REG_DWORD"}),
                  Value(platform::Empty{}))
            << "the write returns nothing";
        EXPECT_EQ(shell.Call(read, {kScratchKey + write}), Value(1.0));
    }
}

TEST_F(ShellObjectTest, OtherValueTypesReadBackAsTextOrAsAnotherKind) {
    const std::pair<Text, Value> types[] = {
        {u"REG_SZ", Text(u"网络 1")},
        {u"REG_EXPAND_SZ", Text(u"网络 1")},
        {u"REG_BINARY", platform::OtherKind{VT_ARRAY | VT_VARIANT}},  // an array of bytes
    };
    for (const auto& [type, expected] : types) {
        SCOPED_TRACE(std::string(type.begin(), type.end()));
        auto shell = AutomationObject::Create(u"Wscript.Shell");
        const Text data = type == u"REG_BINARY" ? u"1" : u"网络 1";
        shell.Call(u"Regwrite", {kScratchKey + type, data, type});
        EXPECT_EQ(shell.Call(u"RegRead", {kScratchKey + type}), expected);
    }
}

TEST_F(ShellObjectTest, FailedCallsCarryADescriptionAndTheNextObjectStillWorks) {
    auto shell = AutomationObject::Create(u"Wscript.Shell");
    const Failure missing = ExpectFailure(
        [&] { shell.Call(u"RegRead", {kScratchKey + u"DoesNotExist"}); });
    ExpectUsableDescription("missing value", missing);

    const Failure badRoot = ExpectFailure([&] {
        AutomationObject::Create(u"Wscript.Shell")
            .Call(u"Regwrite", {u"HKEY_NOWHERE\\Key\\Value", u"1", u"REG_DWORD"});
    });
    ExpectUsableDescription("invalid root", badRoot);
    EXPECT_LT(badRoot.code(), 0) << "a failure code, not success";

    const Failure unknownMethod =
        ExpectFailure([&] { shell.Call(u"NoSuchMethod", {}); });
    ExpectUsableDescription("unknown method", unknownMethod);

    auto next = AutomationObject::Create(u"Wscript.Shell");
    next.Call(u"Regwrite", {kScratchKey + u"AfterFailure", u"1", u"REG_DWORD"});
    EXPECT_EQ(next.Call(u"RegRead", {kScratchKey + u"AfterFailure"}), Value(1.0));
}

TEST_F(ShellObjectTest, UnknownProgIdFailsWithADescription) {
    const Failure failure =
        ExpectFailure([] { AutomationObject::Create(u"TorvaNetWork.NoSuchObject"); });
    ExpectUsableDescription("unknown ProgID", failure);
}

TEST(SystemMessageTest, KnownCodesHaveTextWithoutLineBreakAndOthersTheirNumber) {
    const Text denied = platform::SystemMessage(static_cast<std::int32_t>(0x80070005));
    EXPECT_FALSE(denied.empty());
    EXPECT_EQ(denied.find_first_of(u"\r\n"), Text::npos) << "no line break at the end";
    EXPECT_NE(denied, u"0x80070005") << "Access denied has a system text";
    EXPECT_EQ(platform::SystemMessage(static_cast<std::int32_t>(0x8004DEAD)), u"0x8004DEAD");

    // A call that failed without saying why (GetLastError() 0) is carried as E_FAIL, never
    // described as a success.
    const Failure noCode(HRESULT_FROM_WIN32(ERROR_SUCCESS));
    EXPECT_EQ(unsigned(noCode.code()), unsigned(E_FAIL));
    EXPECT_EQ(noCode.description(), platform::SystemMessage(E_FAIL));
}

class RegistryOperationsTest : public ShellObjectTest {};

TEST_F(RegistryOperationsTest, WriteThenReadThroughTheToolsOwnOperations) {
    Text errText = u"untouched";
    EXPECT_TRUE(modMain::WriteRegistry(kScratchKey + u"Tool", u"1", errText));
    EXPECT_EQ(modMain::ReadRegistry(kScratchKey + u"Tool", errText), Value(1.0));
    EXPECT_EQ(errText, u"untouched");
}

TEST_F(RegistryOperationsTest, FailuresBecomeTheLabelFollowedByTheDescription) {
    Text errText;
    EXPECT_EQ(modMain::ReadRegistry(kScratchKey + u"Missing", errText),
              Value(platform::Empty{}));
    const Text label = u"错误描述:";
    ASSERT_GT(errText.size(), label.size()) << "a description follows the label";
    EXPECT_EQ(errText.substr(0, label.size()), label);

    errText.clear();
    EXPECT_FALSE(modMain::WriteRegistry(u"HKEY_NOWHERE\\Key\\Value", u"1", errText));
    ASSERT_GT(errText.size(), label.size());
    EXPECT_EQ(errText.substr(0, label.size()), label);
}

}  // namespace
