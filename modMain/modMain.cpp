#include "modMain.h"

#include <new>
#include <utility>

namespace modMain {
namespace {

// The description of the failure being handled. Platform failures describe themselves; the
// platform's texts for E_OUTOFMEMORY and E_UNEXPECTED describe exhausted memory and anything
// else. Taking the description may fail in turn; that failure leaves the handler that asked.
Text DescribeCurrentFailure() {
    try {
        throw;
    } catch (const platform::Failure& failure) {
        return failure.description();
    } catch (const std::bad_alloc&) {
        return platform::Failure(platform::kOutOfMemory).description();
    } catch (...) {
        return platform::Failure(platform::kUnexpected).description();
    }
}

// Only a number equal to 1 confirms the setting. The empty value of a failed read counts as 0;
// a text or any other kind of value is not a REG_DWORD and so does not confirm it either.
bool ConfirmsSetting(const RegValue& value) {
    const double* number = std::get_if<double>(&value);
    return number != nullptr && *number == setting::kExpectedValue;
}

}  // namespace

bool WriteRegistry(Text fullValueName, Text value, Text& errText) {
    bool result = false;
    try {
        auto shell = platform::AutomationObject::Create(setting::kShellProgId);
        shell.Call(setting::kWriteMethod, {fullValueName, value, setting::kTypeName});
        result = true;
    } catch (...) {
        errText = texts::kErrorPrefix + DescribeCurrentFailure();
    }
    return result;
}

RegValue ReadRegistry(Text fullValueName, Text& errText) {
    RegValue result = platform::Empty{};
    try {
        auto shell = platform::AutomationObject::Create(setting::kShellProgId);
        result = shell.Call(setting::kReadMethod, {fullValueName});
    } catch (...) {
        result = platform::Empty{};
        errText = texts::kErrorPrefix + DescribeCurrentFailure();
    }
    return result;
}

bool SetupNetWork(Text& errText) {
    bool result = false;
    const Text fullValueName = setting::kFullValueName;
    try {
        if (!WriteRegistry(fullValueName, setting::kValueText, errText)) {
            errText = texts::kCheckRightsComma + errText;
            return result;
        }
        if (!ConfirmsSetting(ReadRegistry(fullValueName, errText))) {
            errText = texts::kCheckRights;
            return result;
        }
        result = true;
    } catch (...) {
        errText = texts::kErrorPrefix + DescribeCurrentFailure();
    }
    return result;
}

void Main() {
    Text errText;
    if (SetupNetWork(errText)) {
        platform::ShowMessageBox(texts::kSuccess, platform::kStyleInformation, texts::kTitle);
    } else {
        platform::ShowMessageBox(texts::kFailurePrefix + errText, platform::kStyleError,
                                 texts::kTitle);
    }
}

int StartUp() noexcept {
    // Main shows its box as its very last act, so a failure that leaves it means no box was
    // shown: show the failure box here instead.
    try {
        Main();
    } catch (...) {
        try {
            Text description;
            try {
                description = DescribeCurrentFailure();
            } catch (...) {
                // Not even a description: the box still says that the setting failed.
            }
            platform::ShowMessageBox(texts::kFailurePrefix + texts::kErrorPrefix + description,
                                     platform::kStyleError, texts::kTitle);
        } catch (...) {
            // No box can be shown at all; the exit status stays the same.
        }
    }
    return kExitStatus;
}

}  // namespace modMain
