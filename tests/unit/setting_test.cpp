// SetupNetWork: the write, the check by reading back, and the wording of the reason.
#include "logic_test_support.h"

namespace {

using modMain::SetupNetWork;

class SettingTest : public LogicTest {
protected:
    std::vector<Call> Invocations() const { return platform.CallsOf(Call::Kind::Invoke); }
};

TEST_F(SettingTest, WritesThenReadsTheSameFullValueName) {
    platform.regRead = Outcome::Returns(1.0);
    platform::Text errText;
    EXPECT_TRUE(SetupNetWork(errText));

    const auto calls = Invocations();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, u"Regwrite");
    EXPECT_EQ(calls[0].arguments,
              (std::vector<platform::Text>{expected::kFullValueName, u"1", u"REG_DWORD"}))
        << "full value name, value, type name, in this order";
    EXPECT_EQ(calls[1].name, u"RegRead");
    EXPECT_EQ(calls[1].arguments, std::vector<platform::Text>{expected::kFullValueName});
    EXPECT_EQ(expected::kFullValueName.size(), 95u);
}

TEST_F(SettingTest, SuccessLeavesTheCallersTextAsItWas) {
    platform.regRead = Outcome::Returns(1.0);
    platform::Text errText = u"left by the caller";
    EXPECT_TRUE(SetupNetWork(errText));
    EXPECT_EQ(errText, u"left by the caller");
}

TEST_F(SettingTest, FailedWriteIsNeverFollowedByARead) {
    platform.regWrite = Outcome::FailsWith(u"Access is denied.");
    platform::Text errText = u"old";
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kCheckRightsComma + expected::kErrorPrefix + u"Access is denied.");
    const auto calls = Invocations();
    ASSERT_EQ(calls.size(), 1u) << "only the write";
    EXPECT_EQ(calls[0].name, u"Regwrite");
}

TEST_F(SettingTest, EmptyDescriptionLeavesTheLabelAlone) {
    platform.regWrite = Outcome::FailsWith(u"");
    platform::Text errText;
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kCheckRightsComma + expected::kErrorPrefix);
}

TEST_F(SettingTest, FailedReadAfterAGoodWriteDropsTheReadsOwnDescription) {
    platform.regRead = Outcome::FailsWith(u"Unable to open registry key");
    platform::Text errText = u"old";
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kCheckRights);
}

TEST_F(SettingTest, OnlyTheNumberOneConfirmsTheSetting) {
    const std::pair<const char*, platform::Value> rejected[] = {
        {"zero", 0.0},
        {"two", 2.0},
        {"empty", platform::Empty{}},
        {"text \"1\"", platform::Text(u"1")},
        {"array", platform::OtherKind{0x2008}},
        {"almost one", 1.0000001},
    };
    for (const auto& [what, value] : rejected) {
        SCOPED_TRACE(what);
        platform.regRead = Outcome::Returns(value);
        platform::Text errText = u"old";
        EXPECT_FALSE(SetupNetWork(errText));
        EXPECT_EQ(errText, expected::kCheckRights) << "exactly the rights hint, no comma";
    }
    platform.regRead = Outcome::Returns(1.0);
    platform::Text errText;
    EXPECT_TRUE(SetupNetWork(errText));
}

TEST_F(SettingTest, FailureInsideARegistryHandlerLandsInTheSettingHandler) {
    // Taking the write's description fails once: WriteRegistry's handler raises, and
    // SetupNetWork's handler words the new failure.
    platform.regWrite = Outcome::FailsUndescribably(1, u"second try");
    platform::Text errText = u"old";
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kErrorPrefix + u"second try") << "no rights hint: not a plain "
                                                                  "write failure";
    EXPECT_EQ(Invocations().size(), 1u) << "no read after the failed write";
    EXPECT_EQ(platform.liveObjects, 0);
}

TEST_F(SettingTest, ExhaustedMemoryIsDescribedByThePlatform) {
    platform.regRead = Outcome::RunsOutOfMemory();
    platform::Text errText;
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kCheckRights) << "a read that failed, like any other";

    platform.regWrite = Outcome::RunsOutOfMemory();
    EXPECT_FALSE(SetupNetWork(errText));
    EXPECT_EQ(errText, expected::kCheckRightsComma + expected::kErrorPrefix +
                           u"system text 0x8007000E");
}

TEST_F(SettingTest, RunningAgainSucceedsTheSameWay) {
    platform.regRead = Outcome::Returns(1.0);
    platform::Text errText;
    EXPECT_TRUE(SetupNetWork(errText));
    EXPECT_TRUE(SetupNetWork(errText));
    EXPECT_EQ(platform.CallsOf(Call::Kind::Create).size(), 4u);
    EXPECT_EQ(platform.liveObjects, 0);
}

}  // namespace
