// Shared by the unit tests: a fixture whose platform is scripted, and the user-visible texts
// written out as UTF-8 source, independently of the \u escapes in the code under test.
#pragma once

#include "modMain.h"
#include "scripted_platform.h"

#include <gtest/gtest.h>

namespace expected {
inline const platform::Text kSuccess = u"网络设置成功";
inline const platform::Text kFailurePrefix = u"网络设置失败，";
inline const platform::Text kCheckRightsComma = u"请检查当前用户权限,";
inline const platform::Text kCheckRights = u"请检查当前用户权限";
inline const platform::Text kErrorPrefix = u"错误描述:";
inline const platform::Text kFullValueName =
    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"
    u"\\TcpMaxDataRetransmissions";
}  // namespace expected

class LogicTest : public ::testing::Test {
protected:
    using Outcome = scripted::Outcome;
    using Call = scripted::Call;

    scripted::ScriptedPlatform platform;
};
