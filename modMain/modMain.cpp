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

// "错误描述:" followed by the description of the failure being handled.
Text DescribedFailure() {
    return Text(texts::kErrorPrefix) + DescribeCurrentFailure();
}

// Shows a box, tried once more a moment later when it cannot be shown (a desktop still
// starting, a session busy switching), so that a passing cause has time to pass; after that
// the run ends without a box. Either way the box's own failure is never what the user is told:
// a second box with it would report a setting that succeeded as failed, or hide the reason a
// setting failed.
void ShowBox(const char16_t* text, unsigned style) noexcept {
    constexpr int kTries = 2;
    for (int attempt = 1;; ++attempt) {
        try {
            platform::ShowMessageBox(text, style, texts::kTitle);
            return;
        } catch (...) {
        }
        if (attempt == kTries) return;
        platform::Pause(kBoxRetryPauseMs);
    }
}

}  // namespace

bool WriteRegistry(Text fullValueName, Text value, Text& errText) {
    bool result = false;
    try {
        auto shell = platform::AutomationObject::Create(setting::kShellProgId);
        shell.Call(setting::kWriteMethod, {fullValueName, value, setting::kTypeName});
        result = true;
    } catch (...) {
        errText = DescribedFailure();
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
        errText = DescribedFailure();
    }
    return result;
}

bool SetupNetWork(Text& errText) {
    bool result = false;
    const Text fullValueName = setting::kFullValueName;
    try {
        if (!WriteRegistry(fullValueName, setting::kValueText, errText)) {
            errText = Text(texts::kCheckRightsComma) + errText;
            return result;
        }
        if (!ConfirmsSetting(ReadRegistry(fullValueName, errText))) {
            errText = texts::kCheckRights;
            return result;
        }
        result = true;
    } catch (...) {
        errText = DescribedFailure();
    }
    return result;
}

void Main() {
    Text errText;
    if (SetupNetWork(errText)) {
        ShowBox(texts::kSuccess, platform::kStyleInformation);
    } else {
        const Text text = texts::kFailurePrefix + errText;
        ShowBox(text.c_str(), platform::kStyleError);
    }
}

int StartUp(std::int32_t automationStatus) noexcept {
    // Main shows its box as its very last act, so a failure that leaves it means no box was
    // shown: show the failure box here instead. Without the automation layer no shell object
    // can be had; the box then says why, instead of what creating the object would say.
    try {
        if (platform::IsFailureCode(automationStatus)) throw platform::Failure(automationStatus);
        Main();
    } catch (...) {
        try {
            Text description;
            try {
                description = DescribeCurrentFailure();
            } catch (...) {
                // Not even a description: the box still says that the setting failed.
            }
            const Text text = texts::kFailurePrefix + (texts::kErrorPrefix + description);
            ShowBox(text.c_str(), platform::kStyleError);
        } catch (...) {
            // Not even the text could be made; the exit status stays the same.
        }
    }
    return kExitStatus;
}

}  // namespace modMain
