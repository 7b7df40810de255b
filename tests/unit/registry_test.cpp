// WriteRegistry and ReadRegistry: one shell object each, results, and the error text.
#include "logic_test_support.h"

namespace {

using modMain::ReadRegistry;
using modMain::WriteRegistry;

using RegistryTest = LogicTest;

TEST_F(RegistryTest, GoodWriteAndReadLeaveTheErrorTextAlone) {
    platform.regRead = Outcome::Returns(7.0);
    platform::Text errText = u"untouched";
    EXPECT_TRUE(WriteRegistry(u"HKCU\\x\\v", u"1", errText));
    EXPECT_EQ(ReadRegistry(u"HKCU\\x\\v", errText), platform::Value(7.0));
    EXPECT_EQ(errText, u"untouched");
}

TEST_F(RegistryTest, FailuresReplaceTheErrorTextWithLabelAndDescription) {
    platform.regWrite = Outcome::FailsWith(u"write said no");
    platform.regRead = Outcome::FailsWith(u"read said no");
    platform::Text errText = u"previous text";
    EXPECT_FALSE(WriteRegistry(u"HKCU\\x\\v", u"1", errText));
    EXPECT_EQ(errText, expected::kErrorPrefix + u"write said no") << "replaced, not appended";

    const platform::Value read = ReadRegistry(u"HKCU\\x\\v", errText);
    EXPECT_EQ(read, platform::Value(platform::Empty{})) << "the empty value, not 0 or a text";
    EXPECT_EQ(errText, expected::kErrorPrefix + u"read said no");
}

TEST_F(RegistryTest, CreationFailureTakesTheSamePathWithItsOwnDescription) {
    platform.create = Outcome::FailsWith(u"Invalid class string", 0x800401F3);
    platform::Text errText;
    EXPECT_FALSE(WriteRegistry(u"HKCU\\x\\v", u"1", errText));
    EXPECT_EQ(errText, expected::kErrorPrefix + u"Invalid class string");
    EXPECT_EQ(ReadRegistry(u"HKCU\\x\\v", errText), platform::Value(platform::Empty{}));
    EXPECT_TRUE(platform.CallsOf(Call::Kind::Invoke).empty());
    EXPECT_TRUE(platform.CallsOf(Call::Kind::Release).empty()) << "nothing to release";
    EXPECT_EQ(platform.liveObjects, 0);
}

TEST_F(RegistryTest, EachCallOwnsOneNewObjectAndReleasesItOnEveryPath) {
    const scripted::Script outcomes[] = {Outcome::Succeeds(), Outcome::FailsWith(u"no"),
                                         Outcome::RunsOutOfMemory(),
                                         Outcome::FailsUndescribably(1, u"late")};
    for (const auto& outcome : outcomes) {
        platform.calls.clear();
        platform.regWrite = outcome;
        platform.regRead = outcome;
        platform::Text errText;
        try {
            WriteRegistry(u"HKCU\\x\\v", u"1", errText);
        } catch (const platform::Failure&) {
            // a failure inside the handler is the caller's to handle
        }
        try {
            ReadRegistry(u"HKCU\\x\\v", errText);
        } catch (const platform::Failure&) {
        }
        const auto creates = platform.CallsOf(Call::Kind::Create);
        const auto invokes = platform.CallsOf(Call::Kind::Invoke);
        const auto releases = platform.CallsOf(Call::Kind::Release);
        ASSERT_EQ(creates.size(), 2u);
        EXPECT_NE(creates[0].object, creates[1].object) << "a new object per call";
        ASSERT_EQ(releases.size(), 2u);
        EXPECT_EQ(releases[0].object, creates[0].object);
        EXPECT_EQ(releases[1].object, creates[1].object);
        ASSERT_EQ(invokes.size(), 2u);
        EXPECT_EQ(invokes[0].object, creates[0].object);
        EXPECT_EQ(platform.liveObjects, 0);
    }
}

TEST_F(RegistryTest, FailureWhileTheHandlerDescribesPassesToTheCaller) {
    platform.regRead = Outcome::FailsUndescribably(1, u"inner");
    platform::Text errText = u"kept";
    try {
        ReadRegistry(u"HKCU\\x\\v", errText);
        ADD_FAILURE() << "expected the description's failure to leave ReadRegistry";
    } catch (const platform::Failure& failure) {
        EXPECT_EQ(failure.description(), u"inner");
    }
    EXPECT_EQ(errText, u"kept");
    EXPECT_EQ(platform.liveObjects, 0);
}

}  // namespace
