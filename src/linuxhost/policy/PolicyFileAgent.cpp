// The policy file agent: the policy in force, its readings, and what to log about them.
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

bool PolicyFileAgent::Load(const std::string& path) {
    auto document = std::make_shared<PolicyDocument>(policy::ReadPolicyDocument(path));
    if (!document->usable) {
        const std::string problem = UnusableSummary(*document);
        bool repeated = false;
        bool kept = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            repeated = m_triedFile == path && m_problem == problem;
            m_triedFile = path;
            m_problem = problem;
            kept = m_inForce != nullptr;
        }
        if (!repeated)
            HostLogLine(LogLevel::Error, L"PolicyFileAgent: policy not loaded: %s%s", String::UTF8ToUTF16(problem),
                        std::wstring(kept ? L"; the policy read before stays in force" : L""));
        return false;
    }
    for (const PolicyProblem& problem : document->problems)
        HostLogLine(LogLevel::Error, L"PolicyFileAgent: %s", String::UTF8ToUTF16(problem.text));
    for (const std::string& warning : document->warnings)
        HostLogLine(LogLevel::Warning, L"PolicyFileAgent: %s", String::UTF8ToUTF16(warning));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inForce = std::move(document);
    m_inForceFile = path;
    m_triedFile = path;
    m_problem.clear();
    return true;
}

bool PolicyFileAgent::Reload() { return Load(CurrentHostSettings().policy_file); }

std::shared_ptr<const PolicyDocument> PolicyFileAgent::InForce() {
    const std::string path = CurrentHostSettings().policy_file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_triedFile == path && (m_inForce != nullptr || !m_problem.empty())) return m_inForce;
    }
    Load(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inForce;
}

PolicyFileAgent::Status PolicyFileAgent::CurrentStatus() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Status status;
    status.file = m_triedFile;
    status.inForce = m_inForce != nullptr;
    status.problem = m_problem;
    return status;
}

bool PolicyFileAgent::ReadTelemetryPolicy(TelemetryPolicy& policy) {
    const std::shared_ptr<const TelemetryPolicy> inForce = TelemetryPolicyInForce();
    if (!inForce) return false;
    policy = *inForce;
    return true;
}

std::shared_ptr<const TelemetryPolicy> PolicyFileAgent::TelemetryPolicyInForce() {
    std::shared_ptr<const PolicyDocument> document = InForce();
    if (!document) return nullptr;
    const TelemetryPolicy* policy = &document->policy;
    return std::shared_ptr<const TelemetryPolicy>(std::move(document), policy);  // keeps the document
}

bool PolicyFileAgent::ReadIncludeEvents(const std::wstring& datasetId,
                                        std::list<std::wstring>& includeEvents) {
    const std::shared_ptr<const PolicyDocument> document = InForce();
    const DataSet* dataset = document ? FindDataset(document->policy, datasetId) : nullptr;
    if (dataset == nullptr) return false;
    includeEvents = dataset->include_events();
    return true;
}

bool PolicyFileAgent::QuerySettings(ZelSettings& settings) {
    const std::shared_ptr<const PolicyDocument> document = InForce();
    if (!document) return false;
    const std::string mode = CurrentPushChannel().mode;
    settings.channel_mode = mode.empty() ? document->channelMode : String::UTF8ToUTF16(mode);
    return true;
}

bool PolicyFileAgent::QueryPolicy(ZelPolicy& policy) {
    const std::shared_ptr<const PolicyDocument> document = InForce();
    if (!document) return false;
    const std::string suppression = CurrentPushChannel().suppression;
    policy.heartbeat_suppression =
        suppression.empty() ? document->heartbeatSuppression : String::UTF8ToUTF16(suppression);
    return true;
}

bool PolicyFileAgent::ValidatePolicyFile(const std::string& path, std::vector<std::string>& problems,
                                         std::vector<std::string>* warnings) {
    const PolicyDocument document = policy::ReadPolicyDocument(path);
    for (const PolicyProblem& problem : document.problems) problems.push_back(problem.text);
    if (warnings != nullptr) warnings->insert(warnings->end(), document.warnings.begin(), document.warnings.end());
    return document.problems.empty();
}

}  // namespace linuxhost
}  // namespace ZEL
