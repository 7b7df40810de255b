// What the user sees: one box per run, its text, icon style and title.
#include "logic_test_support.h"

namespace {

class ReportTest : public LogicTest {
protected:
    // Runs the tool as the process does and returns the one box it showed.
    scripted::Call RunAndTakeOnlyBox(std::int32_t automationStatus = 0) {
        EXPECT_EQ(modMain::StartUp(automationStatus), modMain::kExitStatus)
            << "the exit status never varies";
        const auto boxes = platform.Boxes();
        EXPECT_EQ(boxes.size(), 1u) << "exactly one message box per run";
        EXPECT_EQ(platform.liveObjects, 0) << "no shell object outlives the run";
        return boxes.empty() ? scripted::Call{} : boxes.front();
    }
};

TEST_F(ReportTest, ConfirmedSettingShowsTheInformationBox) {
    platform.regRead = Outcome::Returns(1.0);
    const auto box = RunAndTakeOnlyBox();
    EXPECT_EQ(box.name, expected::kSuccess);
    EXPECT_EQ(box.style, 64u) << "MB_OK | MB_ICONINFORMATION and nothing else";
    EXPECT_EQ(box.title, u"TorvaNetWork");
}

struct FailureCase {
    const char* name;
    scripted::Script create, regWrite, regRead;
    platform::Text text;
    std::int32_t automationStatus = 0;  // how making the automation layer ready went
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class FailureReportTest : public ReportTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureReportTest, ShowsTheErrorBoxWithTheWordedReason) {
    platform.create = GetParam().create;
    platform.regWrite = GetParam().regWrite;
    platform.regRead = GetParam().regRead;
    const auto box = RunAndTakeOnlyBox(GetParam().automationStatus);
    EXPECT_EQ(box.name, GetParam().text);
    EXPECT_EQ(box.style, 16u) << "MB_OK | MB_ICONERROR and nothing else";
    EXPECT_EQ(box.title, u"TorvaNetWork");
}

using O = scripted::Outcome;
INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailureReportTest,
    ::testing::Values(
        FailureCase{"WriteRefused", {}, O::FailsWith(u"Access is denied."), {},
                    expected::kFailurePrefix + expected::kCheckRightsComma +
                        expected::kErrorPrefix + u"Access is denied."},
        FailureCase{"ShellObjectMissing", O::FailsWith(u"Class not registered"), {}, {},
                    expected::kFailurePrefix + expected::kCheckRightsComma +
                        expected::kErrorPrefix + u"Class not registered"},
        FailureCase{"ReadBackAsZero", {}, {}, O::Returns(0.0),
                    expected::kFailurePrefix + expected::kCheckRights},
        FailureCase{"ReadFailed", {}, {}, O::FailsWith(u"Unable to open registry key"),
                    expected::kFailurePrefix + expected::kCheckRights},
        FailureCase{"OtherFailureInTheSettingProcedure", {},
                    O::FailsUndescribably(1, u"no description"), {},
                    expected::kFailurePrefix + expected::kErrorPrefix + u"no description"},
        // COM could not start (RPC_E_CHANGED_MODE): that failure, not the rights hint that a
        // shell object's creation would then earn.
        FailureCase{"AutomationLayerNotReady", {}, {}, {},
                    expected::kFailurePrefix + expected::kErrorPrefix + u"system text 0x8001010E",
                    static_cast<std::int32_t>(0x8001010E)}),
    [](const auto& info) { return std::string(info.param.name); });

// Every text the user can see is a constant of the compiler's: none is built before main, where
// a failure would escape every handler.
static_assert(std::u16string_view(modMain::texts::kTitle) == u"TorvaNetWork" &&
              !std::u16string_view(modMain::texts::kSuccess).empty() &&
              !std::u16string_view(modMain::texts::kFailurePrefix).empty() &&
              !std::u16string_view(modMain::texts::kCheckRightsComma).empty() &&
              !std::u16string_view(modMain::texts::kErrorPrefix).empty());

TEST_F(ReportTest, TextsCarryTheExactPunctuationCodeUnits) {
    platform.regWrite = Outcome::FailsWith(u"D");
    const platform::Text text = RunAndTakeOnlyBox().name;
    const std::u16string expectedUnits = {
        0x7F51, 0x7EDC, 0x8BBE, 0x7F6E, 0x5931, 0x8D25, 0xFF0C,          // 网络设置失败，
        0x8BF7, 0x68C0, 0x67E5, 0x5F53, 0x524D, 0x7528, 0x6237, 0x6743, 0x9650, 0x002C,
        0x9519, 0x8BEF, 0x63CF, 0x8FF0, 0x003A,                          // 错误描述:
        u'D'};
    EXPECT_EQ(text, expectedUnits)
        << "full-width comma U+FF0C after the prefix, ASCII comma U+002C after the rights "
           "hint, ASCII colon U+003A after the error label, nothing in between";
}

TEST_F(ReportTest, FailureEscapingMainIsStillReportedInExactlyOneErrorBox) {
    // The write's description fails, and so does that failure's description inside the
    // setting procedure's handler: the failure leaves Main.
    platform.regWrite = Outcome::FailsUndescribably(2, u"last resort");
    const auto box = RunAndTakeOnlyBox();
    EXPECT_EQ(box.name, expected::kFailurePrefix + expected::kErrorPrefix + u"last resort");
    EXPECT_EQ(box.style, 16u);
    EXPECT_EQ(box.title, u"TorvaNetWork");
}

TEST_F(ReportTest, EscapedFailureWithoutAnyDescriptionStillSaysTheSettingFailed) {
    platform.regWrite = Outcome::FailsUndescribably(5, u"never reached");
    const auto box = RunAndTakeOnlyBox();
    EXPECT_EQ(box.name, expected::kFailurePrefix + expected::kErrorPrefix);
    EXPECT_EQ(box.style, 16u);
}

struct UnshownBoxCase {
    const char* name;
    scripted::Script regRead, box;
    std::vector<platform::Text> shown;  // every box the run tried to show, and the pauses
};

void PrintTo(const UnshownBoxCase& c, std::ostream* out) { *out << c.name; }

class UnshownBoxTest : public ReportTest, public ::testing::WithParamInterface<UnshownBoxCase> {};

const platform::Text kPause = u"(pause)";

TEST_P(UnshownBoxTest, IsTriedOnceMoreAfterAPauseNeverReportsASuccessAsAFailureAndNeverCrashes) {
    platform.regRead = GetParam().regRead;
    platform.box = GetParam().box;
    EXPECT_EQ(modMain::StartUp(0), modMain::kExitStatus);
    std::vector<platform::Text> shown;
    for (const auto& call : platform.calls) {
        if (call.kind == Call::Kind::Box) shown.push_back(call.name);
        if (call.kind != Call::Kind::Pause) continue;
        shown.push_back(kPause);
        EXPECT_TRUE(call.milliseconds >= 500 && call.milliseconds <= 3000)
            << "about a second, time for a passing cause to pass; got " << call.milliseconds
            << " ms";
    }
    EXPECT_EQ(shown, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, UnshownBoxTest,
    ::testing::Values(
        UnshownBoxCase{"SuccessShownAtTheSecondTry", O::Returns(1.0),
                       {O::FailsWith(u"no desktop"), O::Succeeds()},
                       {expected::kSuccess, kPause, expected::kSuccess}},
        UnshownBoxCase{"SuccessNeverShownEndsQuietly", O::Returns(1.0),
                       O::FailsWith(u"no desktop"),
                       {expected::kSuccess, kPause, expected::kSuccess}},
        // The failure box is tried again with the setting's own reason, never replaced by a
        // box about the box's failure.
        UnshownBoxCase{"FailureShownAtTheSecondTryWithTheSettingsReason", O::Returns(0.0),
                       {O::FailsWithCodeOnly(0), O::Succeeds()},
                       {expected::kFailurePrefix + expected::kCheckRights, kPause,
                        expected::kFailurePrefix + expected::kCheckRights}},
        UnshownBoxCase{"FailureNeverShownEndsQuietly", O::Returns(0.0),
                       O::FailsWith(u"no desktop"),
                       {expected::kFailurePrefix + expected::kCheckRights, kPause,
                        expected::kFailurePrefix + expected::kCheckRights}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
