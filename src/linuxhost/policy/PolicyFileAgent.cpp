// The policy file agent: maps one reading of the policy file onto the agent's records and
// decides what to log about it.
#include "linuxhost/policy/PolicyFileAgent.h"

#include "linuxhost/HostState.h"
#include "linuxhost/policy/PolicyDocument.h"
#include "linuxhost/policy/PolicyLog.h"

namespace ZEL {
namespace linuxhost {
namespace {

using policy::HostLogLine;
using policy::PolicyDocument;
using policy::PolicyProblem;

PolicyDocument ReadConfiguredPolicy() {
    return policy::ReadPolicyDocument(CurrentHostSettings().policy_file);
}

// The first problem that makes the policy unusable, with a count of the others, as one line.
std::string UnusableSummary(const PolicyDocument& document) {
    std::string first;
    size_t others = 0;
    for (const PolicyProblem& problem : document.problems) {
        if (first.empty() && problem.kind == PolicyProblem::Kind::Unusable)
            first = problem.text;
        else
            ++others;
    }
    if (others > 0) first += " (and " + std::to_string(others) + " more problem(s))";
    return first;
}

}  // namespace

bool PolicyFileAgent::ReadTelemetryPolicy(TelemetryPolicy& policy) {
    const PolicyDocument document = ReadConfiguredPolicy();
    if (!document.usable) {
        HostLogLine(LogLevel::Error, L"PolicyFileAgent::ReadTelemetryPolicy: policy not loaded: %s",
                    String::UTF8ToUTF16(UnusableSummary(document)));
        return false;
    }
    for (const PolicyProblem& problem : document.problems) {
        HostLogLine(LogLevel::Error, L"PolicyFileAgent::ReadTelemetryPolicy: %s",
                    String::UTF8ToUTF16(problem.text));
    }
    policy.telemetryScope = document.policy.telemetryScope;
    policy.primaryUrl = document.policy.primaryUrl;
    policy.secondaryUrl = document.policy.secondaryUrl;
    policy.navsUrl = document.policy.navsUrl;
    policy.navpUrl = document.policy.navpUrl;
    policy.authMode = document.policy.authMode;
    policy.syncOptions = document.policy.syncOptions;
    policy.syncEndpointUrls = document.policy.syncEndpointUrls;
    policy.datasets = document.policy.datasets;
    return true;
}

bool PolicyFileAgent::QuerySettings(ZelSettings& settings) {
    const PolicyDocument document = ReadConfiguredPolicy();
    if (!document.usable) {
        LogQueryProblem(L"PolicyFileAgent::QuerySettings", UnusableSummary(document));
        return false;
    }
    LogQueryProblem(L"PolicyFileAgent::QuerySettings", std::string());
    const std::string mode = CurrentPushChannel().mode;
    settings.channel_mode = mode.empty() ? document.channelMode : String::UTF8ToUTF16(mode);
    return true;
}

bool PolicyFileAgent::QueryPolicy(ZelPolicy& policy) {
    const PolicyDocument document = ReadConfiguredPolicy();
    if (!document.usable) {
        LogQueryProblem(L"PolicyFileAgent::QueryPolicy", UnusableSummary(document));
        return false;
    }
    LogQueryProblem(L"PolicyFileAgent::QueryPolicy", std::string());
    const std::string suppression = CurrentPushChannel().suppression;
    policy.heartbeat_suppression =
        suppression.empty() ? document.heartbeatSuppression : String::UTF8ToUTF16(suppression);
    return true;
}

bool PolicyFileAgent::ValidatePolicyFile(const std::string& path, std::vector<std::string>& problems) {
    const PolicyDocument document = policy::ReadPolicyDocument(path);
    for (const PolicyProblem& problem : document.problems) problems.push_back(problem.text);
    return document.problems.empty();
}

void PolicyFileAgent::LogQueryProblem(const wchar_t* caller, const std::string& problem) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (problem == m_lastQueryProblem) return;
        m_lastQueryProblem = problem;
    }
    if (!problem.empty())
        HostLogLine(LogLevel::Error, L"%s: policy not usable: %s", std::wstring(caller),
                    String::UTF8ToUTF16(problem));
}

}  // namespace linuxhost
}  // namespace ZEL
