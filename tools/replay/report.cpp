#include "replay/report.h"

#include <algorithm>
#include <cstdio>

#include "replay/figures.h"

namespace replay {

namespace {

// Counts - what a summary reads off the session.
struct Counts {
    size_t answered = 0;
    size_t byKind[6] = {};
    std::vector<double> latencies;  // seconds, sorted
};

Counts CountReplies(const SessionResult& session)
{
    Counts counts;
    for (const MessageOutcome& message : session.messages) {
        if (!message.answered)
            continue;
        counts.answered++;
        counts.byKind[static_cast<int>(message.kind)]++;
        counts.latencies.push_back(message.latencySeconds);
    }
    std::sort(counts.latencies.begin(), counts.latencies.end());
    return counts;
}

RatingHistogram Histogram(const Summary& summary)
{
    RatingHistogram histogram(summary.scoreRanges);
    for (const MessageOutcome& message : summary.session->messages) {
        if (!message.answered || message.kind != ReplyKind::AddHeader)
            continue;
        if (auto rating = RatingOfHeaderText(message.headerText))
            histogram.Add(*rating);
        else
            histogram.AddUnreadable();
    }
    return histogram;
}

double Throughput(const SessionResult& session, size_t answered)
{
    return session.wallSeconds > 0 ? static_cast<double>(answered) / session.wallSeconds : 0;
}

std::string Format(const char* format, double a)
{
    char text[64];
    snprintf(text, sizeof text, format, a);
    return text;
}

constexpr ReplyKind kKinds[] = {ReplyKind::AddHeader, ReplyKind::Rejected, ReplyKind::Failure, ReplyKind::Ok,
                                ReplyKind::Intf, ReplyKind::Other};

}  // namespace

std::string MessageLine(const std::string& label, const OutputLine& reply)
{
    if (reply.kind == ReplyKind::AddHeader)
        return label + ": " + reply.headerText;
    return label + ": " + reply.text;
}

std::string FormatSummary(const Summary& summary)
{
    const SessionResult& session = *summary.session;
    Counts counts = CountReplies(session);
    RatingHistogram histogram = Histogram(summary);
    double throughput = Throughput(session, counts.answered);
    std::string text = "\nSummary\n";
    text += "  messages:       " + std::to_string(session.messages.size()) + " (" +
            std::to_string(counts.answered) + " answered)\n";
    text += "  replies:       ";
    for (ReplyKind kind : kKinds) {
        size_t n = counts.byKind[static_cast<int>(kind)];
        if (n > 0 || kind == ReplyKind::AddHeader || kind == ReplyKind::Rejected || kind == ReplyKind::Failure)
            text.append(" ").append(ReplyKindName(kind)).append(" ").append(std::to_string(n));
    }
    text += "\n  ratings:\n";
    for (size_t range = 0; range < histogram.Ranges(); range++) {
        bool beyondLast = range + 1 == histogram.Ranges();
        if (beyondLast && histogram.Count(range) == 0)
            continue;  // no rating lies above a last bound of 100
        char line[80];
        snprintf(line, sizeof line, "    %-8s %8zu\n", histogram.Label(range).c_str(), histogram.Count(range));
        text += line;
    }
    if (histogram.Unreadable() > 0)
        text += "    (" + std::to_string(histogram.Unreadable()) + " header texts show no rating)\n";
    text += "  throughput:     " + Format("%.1f", throughput) + " messages/s (" + Format("%.3f", session.wallSeconds) +
            " s; " + std::to_string(summary.threads) + " scanning threads, " + std::to_string(summary.inFlight) +
            " in flight; " + summary.engines + ": " + summary.spamd + ")\n";
    text += "  reply latency:  p50 " + Format("%.1f", Percentile(counts.latencies, 50) * 1000) + " ms, p90 " +
            Format("%.1f", Percentile(counts.latencies, 90) * 1000) + " ms, p99 " +
            Format("%.1f", Percentile(counts.latencies, 99) * 1000) + " ms\n";
    if (session.peakRssKiB)
        text += "  plugin peak RSS: " + Format("%.1f", static_cast<double>(*session.peakRssKiB) / 1024.0) +
                " MiB (VmHWM before QUIT)\n";
    else
        text += "  plugin peak RSS: not read (the plugin had ended)\n";
    if (session.cpuSeconds) {
        text += "  plugin CPU:     " + Format("%.2f", *session.cpuSeconds) + " s user+system (start-up included)";
        // The kernel counts processor time in ticks; a short run shows no per-message figure.
        if (*session.cpuSeconds >= 0.1 && !session.messages.empty())
            text += ", " + Format("%.0f", *session.cpuSeconds * 1e6 / static_cast<double>(session.messages.size())) +
                    " us per message";
        text += "; host side " + Format("%.2f", session.hostCpuSeconds) + " s\n";
    }
    if (summary.floor) {
        const BaselineResult& floor = *summary.floor;
        text += "  raw floor:      " + Format("%.1f", floor.Throughput()) + " messages/s (" +
                Format("%.3f", floor.wallSeconds) + " s, " + std::to_string(summary.threads) + " threads";
        if (floor.failures > 0)
            text += ", " + std::to_string(floor.failures) + " failed";
        text += "; CPU " + Format("%.0f", floor.messages > 0 ? floor.cpuSeconds * 1e6 / static_cast<double>(floor.messages) : 0) +
                " us per message)\n";
        if (floor.Throughput() > 0)
            text += "  plugin / floor: " + Format("%.3f", throughput / floor.Throughput()) +
                    " (throughput); wall time plugin / floor " +
                    Format("%.3f", floor.wallSeconds > 0 ? session.wallSeconds / floor.wallSeconds : 0) + "\n";
    }
    for (const auto& [parallel, run] : summary.spamc) {
        text += "  spamc -c x" + std::to_string(parallel) + ":     " + Format("%.1f", run.Throughput()) +
                " messages/s (" + std::to_string(run.messages) + " messages";
        if (run.failures > 0)
            text += ", " + std::to_string(run.failures) + " failed";
        text += ")";
        if (run.Throughput() > 0)
            text += "; plugin / spamc " + Format("%.1f", throughput / run.Throughput());
        text += "\n";
    }
    std::vector<std::string> problems = session.tracker.Problems();
    if (problems.empty()) {
        text += "  exactly once:   every request answered once\n";
    } else {
        text += "  exactly once:   FAILED\n";
        if (session.gaveUpWaiting)
            text += "    (gave up waiting after a long time without any reply)\n";
        size_t shown = std::min<size_t>(problems.size(), 20);
        for (size_t i = 0; i < shown; i++)
            text += "    " + problems[i] + "\n";
        if (problems.size() > shown)
            text += "    ... and " + std::to_string(problems.size() - shown) + " more\n";
    }
    if (!session.faults.empty()) {
        text += "  plugin:         FAILED\n";
        for (const std::string& fault : session.faults)
            text += "    " + fault + "\n";
    } else {
        text += "  plugin:         ended with status 0 after QUIT\n";
    }
    return text;
}

std::string FormatFigures(const Summary& summary)
{
    const SessionResult& session = *summary.session;
    Counts counts = CountReplies(session);
    double throughput = Throughput(session, counts.answered);
    std::string text;
    auto put = [&](const std::string& key, const std::string& value) { text += key + "=" + value + "\n"; };
    put("messages", std::to_string(session.messages.size()));
    put("answered", std::to_string(counts.answered));
    for (ReplyKind kind : kKinds) {
        std::string name = ReplyKindName(kind);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        put("replies_" + name, std::to_string(counts.byKind[static_cast<int>(kind)]));
    }
    put("engines", summary.engines);
    put("threads", std::to_string(summary.threads));
    put("in_flight", std::to_string(summary.inFlight));
    put("wall_seconds", Format("%.6f", session.wallSeconds));
    put("throughput", Format("%.3f", throughput));
    put("latency_p50_ms", Format("%.3f", Percentile(counts.latencies, 50) * 1000));
    put("latency_p90_ms", Format("%.3f", Percentile(counts.latencies, 90) * 1000));
    put("latency_p99_ms", Format("%.3f", Percentile(counts.latencies, 99) * 1000));
    put("peak_rss_kib", session.peakRssKiB ? std::to_string(*session.peakRssKiB) : "");
    put("plugin_cpu_seconds", session.cpuSeconds ? Format("%.2f", *session.cpuSeconds) : "");
    put("host_cpu_seconds", Format("%.2f", session.hostCpuSeconds));
    if (summary.floor) {
        put("floor_throughput", Format("%.3f", summary.floor->Throughput()));
        put("floor_wall_seconds", Format("%.6f", summary.floor->wallSeconds));
        put("floor_failures", std::to_string(summary.floor->failures));
        put("floor_cpu_seconds", Format("%.2f", summary.floor->cpuSeconds));
        put("floor_ratio", Format("%.4f", summary.floor->Throughput() > 0 ? throughput / summary.floor->Throughput() : 0));
        put("wall_ratio", Format("%.4f", summary.floor->wallSeconds > 0 ? session.wallSeconds / summary.floor->wallSeconds : 0));
    }
    for (const auto& [parallel, run] : summary.spamc) {
        std::string key = "spamc" + std::to_string(parallel);
        put(key + "_throughput", Format("%.3f", run.Throughput()));
        put(key + "_failures", std::to_string(run.failures));
        put(key + "_ratio", Format("%.3f", run.Throughput() > 0 ? throughput / run.Throughput() : 0));
    }
    put("exactly_once", session.tracker.Clean() ? "yes" : "no");
    put("exit_status", std::to_string(ReplayExitStatus(session)));
    return text;
}

int ReplayExitStatus(const SessionResult& session)
{
    // Answers that the plugin wrote wrongly count first; missing answers only
    // when the plugin did not fail as a whole (a crash leaves many unanswered).
    if (session.tracker.Duplicates() > 0 || session.tracker.UnknownAnswers() > 0)
        return 2;
    if (!session.faults.empty())
        return 3;
    return session.tracker.Clean() ? 0 : 2;
}

}  // namespace replay
