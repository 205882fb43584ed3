// Telemetry rows through the SQLite C API, and the record JSON the agent's codec reads.
#include "datasyncctl/TelemetryRowWriter.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <json/json.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>

#include "datasyncctl/DemoFiles.h"

namespace datasyncctl {

TelemetryRowWriter::TelemetryRowWriter(std::string path, std::string kind)
    : m_path(std::move(path)), m_kind(std::move(kind)) {
    // The agent reads the same file: wait (5 s) for its locks instead of failing.
    std::string error;
    m_db = ZEL::linuxhost::OpenSqlite(m_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    if (!m_db) throw std::runtime_error(error);
    Exec("PRAGMA journal_mode=WAL");
    Exec("CREATE TABLE IF NOT EXISTS " + m_kind +
         "(id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL, logtime date)");
    m_insert = ZEL::linuxhost::PrepareSqlite(
        m_db.get(), "INSERT INTO " + m_kind + "(log_index, data, logtime) VALUES(?, ?, ?)");
    if (!m_insert) Fail("cannot prepare an insert");
}

void TelemetryRowWriter::Fail(const std::string& what) const {
    throw std::runtime_error(what + " in " + m_path + ": " + sqlite3_errmsg(m_db.get()));
}

void TelemetryRowWriter::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db.get(), sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return;
    const std::string message = error ? error : sqlite3_errmsg(m_db.get());
    sqlite3_free(error);
    throw std::runtime_error("cannot run \"" + sql + "\" in " + m_path + ": " + message);
}

std::int64_t TelemetryRowWriter::Insert(const std::string& json) {
    sqlite3_stmt* statement = m_insert.get();
    const std::string logtime = LocalTimeNow();
    sqlite3_reset(statement);
    sqlite3_bind_text(statement, 1, "0", -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, json.c_str(), static_cast<int>(json.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 3, logtime.c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE) Fail("cannot insert a " + m_kind + " row");
    return sqlite3_last_insert_rowid(m_db.get());
}

namespace {

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, value);
}

}  // namespace

std::string TelemetryRowWriter::LocalTimeNow() {
    const std::tm local = LocalNow();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

std::string TelemetryRowWriter::LocalTimeWithOffsetNow() {
    const std::tm local = LocalNow();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long minutes = local.tm_gmtoff / 60;
    const int magnitude = static_cast<int>((minutes < 0 ? -minutes : minutes) % (24 * 60));
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return std::string(text) + zone;
}

std::string ItemEventJson(const std::string& datasetId, const std::string& datasetName,
                          const std::string& itemId, const std::string& deviceContextId, int sequence) {
    Json::Value row(Json::objectValue);
    row["dataset_id"] = datasetId;
    row["dataset_name"] = datasetName;
    row["device_context_id"] = deviceContextId;
    row["dataset_context_id"] = "";
    row["item_context_id"] = "";
    row["item_id"] = itemId;
    row["item_name"] = datasetName;
    row["item_time"] = TelemetryRowWriter::LocalTimeWithOffsetNow();
    row["schema_ver"] = "1.0";
    row["source_component"] = "datasyncctl-demo";
    row["item_data"]["sequence"] = std::to_string(sequence);
    row["item_data"]["cpu_load_percent"] = std::to_string((sequence * 37) % 100);
    return Compact(row);
}

std::string DeviceContextJson(const std::string& deviceId, const std::string& deviceContextId) {
    utsname system{};
    ::uname(&system);
    char host[256] = {0};
    ::gethostname(host, sizeof host - 1);
    const std::string now = TelemetryRowWriter::LocalTimeWithOffsetNow();

    Json::Value row(Json::objectValue);
    row["device_id"] = deviceId;
    row["device_context_id"] = deviceContextId;
    row["device_context_datetime"] = now;
    row["dataset_id"] = kDeviceContextDatasetId;
    row["schema_ver"] = "1.0";
    row["source_component"] = "datasyncctl-demo";
    Json::Value& device = row["device_info"];
    device["device_id"] = deviceId;
    device["device_name"] = host;
    device["device_manufacturer"] = "DataSync Demo";
    device["device_info_datetime"] = now;
    device["os_name"] = system.sysname;
    device["os_version"] = system.release;
    device["device_extensionkeyvalue"] = Json::Value(Json::arrayValue);
    row["region_info"]["country_code"] = "US";
    row["region_info"]["language_code"] = "en-US";
    row["region_info"]["region_info_datetime"] = now;
    row["schema_info"]["extension_keyvalue"] = Json::Value(Json::objectValue);
    row["zel_info"]["zel_name"] = "datasyncctl demo";
    row["zel_info"]["zel_version"] = "0.1.0";
    row["zel_info"]["zel_datetime"] = now;
    row["zel_info"]["zel_installed_packages"] = Json::Value(Json::objectValue);
    return Compact(row);
}

std::string RandomUuid() {
    std::random_device device;
    std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device());
    std::uint64_t high = random();
    std::uint64_t low = random();
    high = (high & ~0xF000ULL) | 0x4000ULL;      // version 4
    low = (low & ~(3ULL << 62)) | (2ULL << 62);  // variant 10
    char text[40];
    std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

}  // namespace datasyncctl
