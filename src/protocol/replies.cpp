#include "protocol/replies.h"

#include <charconv>

#include "base/output.h"

namespace {

thread_local std::string replyBuffer;

// A text from outside (the host's command, a path, an engine's words) never
// brings a control byte into a reply: it could end the line or the quotes.
// The id goes back as the host sent it (no line feed can be in it), so that
// the host finds its request.
void AppendText(std::string& out, std::string_view text) { AppendEscaped(out, text); }

void AppendNumber(std::string& out, int value)
{
    char digits[16];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

// ReplyWriter - the one user of the output channel's raw writer.
class ReplyWriter {
public:
    static void Write(std::string_view line) { ReplyChannel::Write(line); }
};

void FormatReply(std::string& out, std::string_view id, const Reply& reply)
{
    out.assign(id);
    out += ' ';
    switch (reply.kind) {
    case ReplyKind::Headers:
        out += "ADDHEADER \"";
        AppendText(out, reply.text);
        out += '"';
        break;
    case ReplyKind::Intf: out += "INTF 3 PROD=CLAM"; break;
    case ReplyKind::Ok: out += "OK"; break;
    case ReplyKind::UnknownCommand:
        out += "OK Unknown command: ";
        AppendText(out, reply.text);
        break;
    case ReplyKind::MissingCommand: out += "FAILURE Missing command."; break;
    case ReplyKind::MissingFileName: out += "FAILURE Missing file name: FILE"; break;
    case ReplyKind::IdTooLong:
        out += "FAILURE Request id too long, at most ";
        AppendNumber(out, kRequestIdSize - 1);
        out += " characters";
        break;
    case ReplyKind::Unreachable:
        out += "FAILURE Unable to access file: ";
        AppendText(out, reply.text);
        out += ", errno=";
        AppendNumber(out, reply.error);
        break;
    case ReplyKind::NoMemory:
        out += "FAILURE malloc error, errno=";
        AppendNumber(out, reply.error);
        break;
    case ReplyKind::TimedOut: out += "REJECTED timed-out, we'll try again later"; break;
    case ReplyKind::TryLater: out += "REJECTED sorry, we'll try again later"; break;
    case ReplyKind::Unavailable: out += "REJECTED no spamd host could rate it, we'll try again later"; break;
    }
    out += '\n';
}

void SendReply(std::string_view id, const Reply& reply)
{
    FormatReply(replyBuffer, id, reply);
    ReplyWriter::Write(replyBuffer);
}

bool AnswerRequest(FileRequest& request, const Reply& reply, std::string_view before)
{
    const std::string_view id = request.Id();
    FormatReply(replyBuffer, id, reply);
    // Everything that can fail is done; now the answer is claimed.
    const bool first = ClaimAnswer(request);
    if (!first)
        replyBuffer.replace(0, id.size(), "*");
    else if (!before.empty())
        PrintLog(before);
    ReplyWriter::Write(replyBuffer);
    return first;
}

bool AnswerIfOpen(FileRequest& request, const Reply& reply, std::string_view before)
{
    if (!ClaimAnswer(request))
        return false;
    if (!before.empty())
        PrintLog(before);
    SendReply(request.Id(), reply);
    return true;
}

void WriteClaimedAnswer(std::string_view id, const Reply& reply) { SendReply(id, reply); }

void SendLaunchFailure(int error)
{
    ReplyWriter::Write(FormatText("FAILURE Unable to launch a thread, errCode=%d\n", error));
}
