// A scripted stand-in for the platform layer: each test decides what every platform call does
// and reads back every call that was made.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

namespace scripted {

using platform::Text;
using platform::Value;

// What one platform call does.
struct Outcome {
    enum class Kind { Succeed, Fail, FailWithCodeOnly, RunOutOfMemory };
    Kind kind = Kind::Succeed;
    Value value = platform::Empty{};
    Text description;
    std::int32_t code = 0;
    // How many times taking the description fails (raising a new failure) before it succeeds.
    int failedDescriptions = 0;

    static Outcome Succeeds() { return {}; }
    static Outcome Returns(Value value) {
        Outcome outcome;
        outcome.value = std::move(value);
        return outcome;
    }
    static Outcome FailsWith(Text description, std::int32_t code = kAccessDenied) {
        Outcome outcome;
        outcome.kind = Kind::Fail;
        outcome.description = std::move(description);
        outcome.code = code;
        return outcome;
    }
    // Fails with a code that the platform's own message describes.
    static Outcome FailsWithCodeOnly(std::int32_t code) {
        Outcome outcome;
        outcome.kind = Kind::FailWithCodeOnly;
        outcome.code = code;
        return outcome;
    }
    // Fails, and so does taking the description, `times` times over.
    static Outcome FailsUndescribably(int times, Text finalDescription) {
        Outcome outcome = FailsWith(std::move(finalDescription));
        outcome.failedDescriptions = times;
        return outcome;
    }
    static Outcome RunsOutOfMemory() {
        Outcome outcome;
        outcome.kind = Kind::RunOutOfMemory;
        return outcome;
    }

    static constexpr std::int32_t kAccessDenied = static_cast<std::int32_t>(0x80070005);
};

// The outcomes of successive calls of one kind; the last one repeats.
struct Script {
    std::vector<Outcome> outcomes{Outcome::Succeeds()};
    Script() = default;
    Script(std::initializer_list<Outcome> list) : outcomes(list) {}
    Script(Outcome outcome) : outcomes{std::move(outcome)} {}
    const Outcome& Next(std::size_t& calls) const {
        const std::size_t index = calls++;
        return outcomes[index < outcomes.size() ? index : outcomes.size() - 1];
    }
};

struct Call {
    enum class Kind { Create, Invoke, Release, Box, Pause };
    Kind kind = Kind::Create;
    int object = 0;          // which object (Create, Invoke, Release)
    Text name;               // ProgID, method name, or box text
    std::vector<Text> arguments;
    unsigned style = 0;      // Box
    Text title;              // Box
    unsigned milliseconds = 0;  // Pause

    static Call Of(Kind kind, int object, Text name = {}, std::vector<Text> arguments = {}) {
        Call call;
        call.kind = kind;
        call.object = object;
        call.name = std::move(name);
        call.arguments = std::move(arguments);
        return call;
    }
};

// While alive, this is the platform: every platform call goes to it.
class ScriptedPlatform {
public:
    ScriptedPlatform();
    ~ScriptedPlatform();
    ScriptedPlatform(const ScriptedPlatform&) = delete;
    ScriptedPlatform& operator=(const ScriptedPlatform&) = delete;

    Script create;
    Script regWrite;  // method "Regwrite"
    Script regRead;   // method "RegRead"
    Script box;

    std::vector<Call> calls;
    int liveObjects = 0;

    std::vector<Call> CallsOf(Call::Kind kind) const;
    std::vector<Call> Boxes() const { return CallsOf(Call::Kind::Box); }

    // Used by the stand-in's implementation of the platform calls.
    static ScriptedPlatform& Current();
    [[noreturn]] static void Raise(const Outcome& outcome);
    std::size_t createCalls = 0, writeCalls = 0, readCalls = 0, boxCalls = 0;
    int nextObject = 1;
};

}  // namespace scripted
