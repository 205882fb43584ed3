// Record lines and counts. The file is written with O_APPEND and one write per line, so lines
// from concurrent requests (or another process appending) never interleave.
#include "datasync-collector/RequestRecorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <vector>

namespace collector {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A JSON object or array that makes up the whole text.
bool ParseJsonDocument(const std::string& text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return false;
    } catch (...) {
        return false;
    }
    return value.isObject() || value.isArray();
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

std::string FamilyOfPath(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (segments.empty()) return std::string();
    if (Lower(segments.back()) == "navp") return "navp";
    if (segments.size() < 2) return std::string();
    const std::string family = Lower(segments[segments.size() - 2]);
    return family == "kta" || family == "navs" ? family : std::string();
}

RequestRecorder::RequestRecorder(const std::string& recordFile) {
    if (recordFile.empty()) return;
    m_fd.reset(::open(recordFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!m_fd)
        throw std::runtime_error("cannot open record file " + recordFile + ": " + std::strerror(errno));
}

RequestRecorder::~RequestRecorder() = default;

Json::Value RequestRecorder::RecordLine(const ReceivedRequest& request, int status) {
    Json::Value line(Json::objectValue);
    line["family"] = request.family;
    line["path"] = request.path;
    line["content_type"] = request.contentType;
    line["status"] = status;
    line["time"] = UtcNow();
    if (!request.clientCertificate.empty()) line["client_certificate"] = request.clientCertificate;
    Json::Value parsed;
    static const std::string kNavpPrefix = "json=";
    if (ParseJsonDocument(request.body, parsed)) {
        line["body"] = parsed;
    } else if (request.family == "navp" && request.body.compare(0, kNavpPrefix.size(), kNavpPrefix) == 0 &&
               ParseJsonDocument(request.body.substr(kNavpPrefix.size()), parsed)) {
        line["body"] = parsed;
        line["body_prefix"] = kNavpPrefix;
    } else {
        line["body"] = request.body;
    }
    return line;
}

bool RequestRecorder::Record(const ReceivedRequest& request, int status) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    const std::string text = Json::writeString(writer, RecordLine(request, status)) + "\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    FamilyCounts& counts = m_families[request.family];
    ++counts.requests;
    if (status >= 200 && status < 300) ++counts.accepted;
    ++counts.paths[request.path];
    if (!request.client.empty()) m_clients.insert(request.client);
    return !m_fd || WriteAll(m_fd.get(), text);
}

Json::Value RequestRecorder::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json::Value stats(Json::objectValue);
    for (const char* family : {"kta", "navs", "navp"}) {
        Json::Value entry(Json::objectValue);
        entry["paths"] = Json::Value(Json::objectValue);
        auto found = m_families.find(family);
        if (found != m_families.end()) {
            for (const auto& path : found->second.paths) entry["paths"][path.first] = Json::Int64(path.second);
        }
        entry["requests"] = Json::Int64(found == m_families.end() ? 0 : found->second.requests);
        entry["accepted"] = Json::Int64(found == m_families.end() ? 0 : found->second.accepted);
        stats[family] = entry;
    }
    stats["connections"] = Json::UInt64(m_clients.size());
    return stats;
}

}  // namespace collector
