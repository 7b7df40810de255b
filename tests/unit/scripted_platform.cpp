#include "scripted_platform.h"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace scripted {
namespace {
ScriptedPlatform* current = nullptr;

// A failure whose description fails `failedDescriptions` more times before it is given.
platform::Failure MakeFailure(std::int32_t code, Text description, int failedDescriptions) {
    return platform::Failure(code, [=]() -> Text {
        if (failedDescriptions > 0) throw MakeFailure(code, description, failedDescriptions - 1);
        return description;
    });
}
}  // namespace

ScriptedPlatform::ScriptedPlatform() {
    if (current) throw std::logic_error("one scripted platform at a time");
    current = this;
}

ScriptedPlatform::~ScriptedPlatform() { current = nullptr; }

ScriptedPlatform& ScriptedPlatform::Current() {
    if (!current) throw std::logic_error("no scripted platform in this test");
    return *current;
}

std::vector<Call> ScriptedPlatform::CallsOf(Call::Kind kind) const {
    std::vector<Call> found;
    for (const auto& call : calls) {
        if (call.kind == kind) found.push_back(call);
    }
    return found;
}

void ScriptedPlatform::Raise(const Outcome& outcome) {
    if (outcome.kind == Outcome::Kind::RunOutOfMemory) throw std::bad_alloc();
    if (outcome.kind == Outcome::Kind::FailWithCodeOnly) throw platform::Failure(outcome.code);
    throw MakeFailure(outcome.code, outcome.description, outcome.failedDescriptions);
}

}  // namespace scripted

// The platform layer, as the stand-in provides it.
namespace platform {

using scripted::Call;
using scripted::Outcome;
using scripted::ScriptedPlatform;

struct AutomationObject::Impl {
    explicit Impl(int object) : id(object) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    const int id;
    ~Impl() {
        auto& platform = ScriptedPlatform::Current();
        platform.calls.push_back(Call::Of(Call::Kind::Release, id));
        --platform.liveObjects;
    }
};

AutomationObject::AutomationObject(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AutomationObject::AutomationObject(AutomationObject&&) noexcept = default;
AutomationObject& AutomationObject::operator=(AutomationObject&&) noexcept = default;
AutomationObject::~AutomationObject() = default;

AutomationObject AutomationObject::Create(const Text& progId) {
    auto& platform = ScriptedPlatform::Current();
    const int id = platform.nextObject++;
    platform.calls.push_back(Call::Of(Call::Kind::Create, id, progId));
    const Outcome& outcome = platform.create.Next(platform.createCalls);
    if (outcome.kind != Outcome::Kind::Succeed) ScriptedPlatform::Raise(outcome);
    ++platform.liveObjects;
    return AutomationObject(std::make_unique<Impl>(id));
}

Value AutomationObject::Call(const Text& method, const std::vector<Text>& arguments) {
    auto& platform = ScriptedPlatform::Current();
    platform.calls.push_back(Call::Of(Call::Kind::Invoke, impl_->id, method, arguments));
    const Outcome* outcome = nullptr;
    if (method == u"Regwrite") outcome = &platform.regWrite.Next(platform.writeCalls);
    else if (method == u"RegRead") outcome = &platform.regRead.Next(platform.readCalls);
    if (!outcome) throw Failure(static_cast<std::int32_t>(0x80020006), [] {  // DISP_E_UNKNOWNNAME
        return Text(u"Unknown name.");
    });
    if (outcome->kind != Outcome::Kind::Succeed) ScriptedPlatform::Raise(*outcome);
    return outcome->value;
}

void ShowMessageBox(const char16_t* text, unsigned style, const char16_t* title) {
    auto& platform = ScriptedPlatform::Current();
    Call call = Call::Of(Call::Kind::Box, 0, text);
    call.style = style;
    call.title = title;
    platform.calls.push_back(call);
    const Outcome& outcome = platform.box.Next(platform.boxCalls);
    if (outcome.kind != Outcome::Kind::Succeed) ScriptedPlatform::Raise(outcome);
}

void Pause(unsigned milliseconds) noexcept {
    Call call = Call::Of(Call::Kind::Pause, 0);
    call.milliseconds = milliseconds;
    ScriptedPlatform::Current().calls.push_back(call);
}

Text SystemMessage(std::int32_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "system text 0x%08X", static_cast<unsigned>(code));
    return Text(text, text + std::char_traits<char>::length(text));
}

}  // namespace platform
