// modMain: the tool's own logic. It sets TcpMaxDataRetransmissions to 1 through the
// "Wscript.Shell" automation object, reads it back, and reports the outcome in one message box.
//
// Every procedure that can fail copies its inputs, then turns any failure raised in its body
// into a false (or empty) result plus "错误描述:" and the failure's description in the caller's
// error text. A failure raised while copying the inputs or inside that handler passes on to the
// caller. Main itself has no handler; StartUp is the process's last line of defence.
#pragma once

#include "platform.h"

namespace modMain {

using Text = platform::Text;
using RegValue = platform::Value;

// Texts the user can see; written as \u escapes so that no source or compiler charset can
// change a code unit. Every constant here is a pointer to a literal: nothing is built before
// the program's own code runs, so nothing can fail outside every handler.
namespace texts {
inline constexpr const char16_t* kTitle = u"TorvaNetWork";
// 网络设置成功: the network setting succeeded.
inline constexpr const char16_t* kSuccess = u"\u7F51\u7EDC\u8BBE\u7F6E\u6210\u529F";
// 网络设置失败，: the network setting failed (ends in the full-width comma U+FF0C).
inline constexpr const char16_t* kFailurePrefix = u"\u7F51\u7EDC\u8BBE\u7F6E\u5931\u8D25\uFF0C";
// 请检查当前用户权限: please check the current user's rights.
inline constexpr const char16_t* kCheckRights =
    u"\u8BF7\u68C0\u67E5\u5F53\u524D\u7528\u6237\u6743\u9650";
// 请检查当前用户权限, : the same, ending in an ASCII comma, put before a write's error text.
inline constexpr const char16_t* kCheckRightsComma =
    u"\u8BF7\u68C0\u67E5\u5F53\u524D\u7528\u6237\u6743\u9650,";
// 错误描述: : error description (ends in an ASCII colon).
inline constexpr const char16_t* kErrorPrefix = u"\u9519\u8BEF\u63CF\u8FF0:";
}  // namespace texts

// The setting itself.
namespace setting {
inline constexpr const char16_t* kFullValueName =
    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"
    u"\\TcpMaxDataRetransmissions";
inline constexpr const char16_t* kValueText = u"1";
inline constexpr double kExpectedValue = 1;
inline constexpr const char16_t* kTypeName = u"REG_DWORD";
inline constexpr const char16_t* kShellProgId = u"Wscript.Shell";
inline constexpr const char16_t* kWriteMethod = u"Regwrite";
inline constexpr const char16_t* kReadMethod = u"RegRead";
}  // namespace setting

// Runs the setting once and shows the one message box that reports it. A box that cannot be
// shown is tried once more, about a second later, then given up without a word: a box about the box's own failure
// would report a setting that succeeded as failed, or hide why a setting failed.
void Main();

// Sets the value and reads it back. True when it reads back as the number 1; otherwise false
// with the reason, worded for the user, in errText.
bool SetupNetWork(Text& errText);

// Stores `value` as REG_DWORD under `fullValueName` through a new shell object.
bool WriteRegistry(Text fullValueName, Text value, Text& errText);

// Reads `fullValueName` through a new shell object; the empty value when the read fails.
RegValue ReadRegistry(Text fullValueName, Text& errText);

// What the process entry point runs once it has tried to make the automation layer ready;
// `automationStatus` is how that went (a status code, negative for a failure). Runs Main, and,
// should a failure escape it (memory exhausted, a failure inside SetupNetWork's handler), the
// failure box it could not show, so that every run shows exactly one box. When the automation
// layer could not be made ready, that failure is what the failure box reports, and the
// setting is not tried. Returns the exit status, which is the same for every outcome.
int StartUp(std::int32_t automationStatus) noexcept;

inline constexpr int kExitStatus = 0;

// How long a box that could not be shown waits before its second try.
inline constexpr unsigned kBoxRetryPauseMs = 1000;

}  // namespace modMain
