#pragma once
// A scripted answer to the message boxes of the Linux user interface: each
// box is recorded and answered with `answer`.
#include "platform/UserInterface.h"

#include <string>

namespace sorn::servicestest {

struct MessageBoxScript {
    int answer = IDRETRY;
    int boxes = 0;
    std::string text, caption;
    UINT type = 0;
    HWND owner = reinterpret_cast<HWND>(1);

    // The answer provider; `context` is the script.
    static int Answer(void* context, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
        auto* script = static_cast<MessageBoxScript*>(context);
        ++script->boxes;
        script->owner = owner;
        script->text = text;
        script->caption = caption;
        script->type = type;
        return script->answer;
    }
};

// Installs a script as the answer provider for its lifetime.
class ScriptedAnswers {
public:
    explicit ScriptedAnswers(MessageBoxScript& script) {
        SetMessageBoxAnswerProvider(MessageBoxScript::Answer, &script);
    }
    ~ScriptedAnswers() { SetMessageBoxAnswerProvider(nullptr, nullptr); }
    ScriptedAnswers(const ScriptedAnswers&) = delete;
    ScriptedAnswers& operator=(const ScriptedAnswers&) = delete;
};

}  // namespace sorn::servicestest
