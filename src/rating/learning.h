// learning - what a learn exchange asks and what became of it, whatever the
// engine (the protocol modules build the request and read the reply)
//
// LearnClass      spam, ham, or forget (take a message back)
// LearnClassName  "spam", "ham", "forget"
// LearnOutcome    one message at one host: learned, known already, failed
//                 (this message), refused (the host will take none), or not
//                 offered by the engine
//
// Plain values, no state.
#pragma once

#include <string>

enum class LearnClass { Spam, Ham, Forget };

inline const char* LearnClassName(LearnClass what)
{
    return what == LearnClass::Spam ? "spam" : what == LearnClass::Ham ? "ham" : "forget";
}

struct LearnOutcome {
    enum class Kind {
        Learned,      // the host took the message
        Known,        // it had learned (or forgotten) the message already
        Failed,       // this message failed; the next one may pass
        Refused,      // the host refuses every such request (no --allow-tell, a wrong password)
        Unsupported,  // the engine cannot do it (rspamd has no forget)
    };
    Kind kind = Kind::Failed;
    std::string why;  // Failed, Refused, Unsupported: in a few words fit for a log line
};
