#include "rating/engine.h"

#include "rating/rspamd_protocol.h"
#include "rating/spamc_protocol.h"

namespace {

// A learn reply is a status line and a header or two, or a short JSON object.
constexpr size_t kLearnReplyCapacity = 16 * 1024;

void BuildSpamdLearn(std::string& head, const SpamdHost&, LearnClass what, size_t size, std::string_view)
{
    BuildTellHeader(head, what, size);
}

void BuildRspamdLearn(std::string& head, const SpamdHost& host, LearnClass what, size_t size,
                      std::string_view password)
{
    BuildRspamdLearnHead(head, HttpHostOf(host), what, size, password);
}

LearnOutcome ReadRspamdLearn(std::string_view reply, LearnClass) { return ReadRspamdLearnReply(reply); }

const EngineProtocol kSpamd{BuildSpamdLearn, ReadTellReply, {SpamcReplyState, false, kLearnReplyCapacity}, true};
const EngineProtocol kRspamd{BuildRspamdLearn, ReadRspamdLearn, {HttpFraming, false, kLearnReplyCapacity}, false};

}  // namespace

const EngineProtocol& ProtocolOf(SpamdEngine engine) { return engine == SpamdEngine::Rspamd ? kRspamd : kSpamd; }

std::string HttpHostOf(const SpamdHost& host)
{
    if (host.transport == SpamdTransport::Unix)
        return "localhost";
    const bool v6 = host.address.find(':') != std::string::npos;
    return (v6 ? "[" + host.address + "]" : host.address) + ":" + host.port;
}

ReplyState HttpFraming(std::string_view reply, bool, bool)
{
    switch (RspamdReplyState(reply)) {
    case HttpReplyState::Complete: return ReplyState::Complete;
    case HttpReplyState::Invalid: return ReplyState::Invalid;
    default: return ReplyState::Incomplete;
    }
}

LearnOutcome LearnAtHost(const SpamdHost& host, const SpamdAddresses& addresses, const TlsClient* tls,
                         LearnClass what, std::string_view message, std::string_view password,
                         const ExchangeLimits& limits, std::string& head, std::string& reply)
{
    const EngineProtocol& protocol = ProtocolOf(host.engine);
    if (what == LearnClass::Forget && !protocol.canForget)
        return {LearnOutcome::Kind::Unsupported, std::string(SpamdEngineName(host.engine)) + " cannot forget"};
    protocol.buildLearn(head, host, what, message.size(), password);
    const ExchangeResult result =
        ExchangeWithHost(host, addresses, tls, {head, message}, reply, protocol.learnFraming, limits);
    if (!result.answered) {
        // A host that cannot be reached takes no further message either.
        const bool down = result.failure == ExchangeOutcome::Unreachable;
        return {down ? LearnOutcome::Kind::Refused : LearnOutcome::Kind::Failed, result.why};
    }
    return protocol.readLearn(reply, what);
}
