// What the tool's logic needs from Windows, and nothing more: a message box, automation objects
// created from a ProgID and called by method name, and the failure that any of these raises.
//
// The logic compiles against this header alone. The Windows implementation lives in
// platform/windows/; the host unit tests link a scripted stand-in instead.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// UTF-16 text, as every Windows "W" API and automation call takes it.
using Text = std::u16string;

// A value as an automation call returns it. Empty means nothing was returned; a 32-bit integer
// (VT_I4, what the shell object reads a REG_DWORD as) becomes a number; a text stays Text;
// anything else keeps only its automation type tag.
struct Empty {
    friend bool operator==(Empty, Empty) { return true; }
};
struct OtherKind {
    unsigned short variantType;
    friend bool operator==(OtherKind a, OtherKind b) { return a.variantType == b.variantType; }
};
using Value = std::variant<Empty, double, Text, OtherKind>;

// Status codes are HRESULTs: negative for a failure, zero or positive for success.
constexpr bool IsFailureCode(std::int32_t code) { return code < 0; }

// The one failure type raised by every platform call: a status code and how to describe it.
// The code is always a failure code: a call that failed without saying why (a code that says
// success, such as GetLastError() 0) is carried as kFailed, so that it is never described as
// a success. The description is taken only when asked for, and taking it may itself fail
// (raising Failure or std::bad_alloc), so callers treat description() like any other platform
// call.
class Failure : public std::exception {
public:
    using Describer = std::function<Text()>;

    // A failure described by the platform's own message for its code.
    explicit Failure(std::int32_t code);
    Failure(std::int32_t code, Describer describe);

    std::int32_t code() const noexcept { return code_; }
    Text description() const;
    const char* what() const noexcept override { return "platform::Failure"; }

private:
    std::int32_t code_;
    Describer describe_;
};

// Status codes the logic names itself.
inline constexpr std::int32_t kOutOfMemory = static_cast<std::int32_t>(0x8007000E);  // E_OUTOFMEMORY
inline constexpr std::int32_t kUnexpected = static_cast<std::int32_t>(0x8000FFFF);   // E_UNEXPECTED
inline constexpr std::int32_t kFailed = static_cast<std::int32_t>(0x80004005);       // E_FAIL

// The platform's message text for a status code: never empty, without trailing line break.
Text SystemMessage(std::int32_t code);

// A live automation object. Releasing it is the destructor's job; a moved-from object owns
// nothing.
class AutomationObject {
public:
    // Creates the object registered under `progId`. Raises Failure when that is not possible.
    static AutomationObject Create(const Text& progId);

    // Looks `method` up by name at the time of the call and invokes it with text arguments in
    // the order given. Returns what the method returned; raises Failure when the call fails.
    Value Call(const Text& method, const std::vector<Text>& arguments);

    AutomationObject(AutomationObject&&) noexcept;
    AutomationObject& operator=(AutomationObject&&) noexcept;
    AutomationObject(const AutomationObject&) = delete;
    AutomationObject& operator=(const AutomationObject&) = delete;
    ~AutomationObject();

    struct Impl;  // defined by each implementation

private:
    explicit AutomationObject(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Message box styles the tool uses (the Win32 MB_* values): OK button with one icon.
inline constexpr unsigned kStyleInformation = 0x40;  // MB_OK | MB_ICONINFORMATION
inline constexpr unsigned kStyleError = 0x10;        // MB_OK | MB_ICONERROR

// Shows a modal message box without owner and waits until the user closes it. The answer is
// not reported. Raises Failure unless the box was shown and answered (the call returned the ID
// of a button). Both texts end in a null.
void ShowMessageBox(const char16_t* text, unsigned style, const char16_t* title);

// Waits `milliseconds` on the calling thread.
void Pause(unsigned milliseconds) noexcept;

}  // namespace platform
