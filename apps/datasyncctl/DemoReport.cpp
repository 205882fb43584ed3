// Formatting the demo's progress and results.
#include "datasyncctl/DemoReport.h"

#include <cstdio>

namespace datasyncctl {
namespace {

constexpr int kNameWidth = 28;
constexpr int kCellWidth = 10;

std::string Cell(const std::string& text, int width = kCellWidth) {
    if (static_cast<int>(text.size()) >= width) return " " + text;
    return std::string(static_cast<size_t>(width - static_cast<int>(text.size())), ' ') + text;
}

std::string Name(const std::string& text) {
    if (static_cast<int>(text.size()) >= kNameWidth) return text + " ";
    return text + std::string(static_cast<size_t>(kNameWidth - static_cast<int>(text.size())), ' ');
}

long long StatsCount(const Json::Value& stats, const std::string& family, const char* member) {
    if (!stats.isObject() || !stats[family].isObject() || !stats[family][member].isIntegral()) return 0;
    return stats[family][member].asInt64();
}

}  // namespace

const std::vector<std::string>& DemoFamilies() {
    static const std::vector<std::string> families = {"kta", "navs", "navp"};
    return families;
}

DemoReport::DemoReport(const std::vector<DemoDataset>& datasets, const std::vector<int>& written,
                       const UploadTally& tally)
    : m_datasets(datasets), m_written(written), m_tally(tally) {}

int DemoReport::AcceptedOf(const DemoDataset& dataset, const std::string& family) const {
    if (dataset.deviceContext) return m_tally.DeviceContextAccepted(family) ? 1 : 0;
    return m_tally.Accepted(family, dataset.id);
}

int DemoReport::AcceptedBy(const std::string& family) const {
    int accepted = 0;
    for (const DemoDataset& dataset : m_datasets)
        if (dataset.Names(family)) accepted += AcceptedOf(dataset, family);
    return accepted;
}

int DemoReport::ExpectedBy(const std::string& family) const {
    int expected = 0;
    for (const DemoDataset& dataset : m_datasets)
        if (dataset.Names(family)) expected += dataset.rows;
    return expected;
}

bool DemoReport::Complete() const {
    return MissingLines().empty();
}

std::string DemoReport::ProgressLine(double elapsedSeconds, const Json::Value& stats) const {
    int written = 0;
    int planned = 0;
    for (size_t i = 0; i < m_datasets.size(); ++i) {
        written += m_written[i];
        planned += m_datasets[i].rows;
    }
    char head[64];
    std::snprintf(head, sizeof head, "[%3.0fs] written %d/%d ", elapsedSeconds, written, planned);
    std::string line = head;
    long long posts = 0;
    for (const std::string& family : DemoFamilies()) {
        line += " " + family + " " + std::to_string(AcceptedBy(family)) + "/" +
                std::to_string(ExpectedBy(family));
        posts += StatsCount(stats, family, "requests");
    }
    line += "  posts " + (stats.isObject() ? std::to_string(posts) : std::string("?"));
    return line;
}

void DemoReport::WriteTable(std::ostream& out, const Json::Value& stats,
                            const std::map<std::string, std::map<std::string, Bookmark>>& bookmarks,
                            double elapsedSeconds, const std::string& serviceDir) const {
    out << Name("rows per dataset") << Cell("frequency") << Cell("written");
    for (const std::string& family : DemoFamilies()) out << Cell(family);
    out << "\n";
    for (size_t i = 0; i < m_datasets.size(); ++i) {
        const DemoDataset& dataset = m_datasets[i];
        out << Name(dataset.name) << Cell(dataset.frequency) << Cell(std::to_string(m_written[i]));
        for (const std::string& family : DemoFamilies())
            out << Cell(dataset.Names(family) ? std::to_string(AcceptedOf(dataset, family)) : "-");
        out << "\n";
    }
    out << Name("duplicate rows") << Cell("") << Cell("");
    for (const std::string& family : DemoFamilies()) out << Cell(std::to_string(m_tally.Duplicates(family)));
    out << "\n";
    out << Name("posts accepted/received") << Cell("") << Cell("");
    for (const std::string& family : DemoFamilies()) {
        out << Cell(stats.isObject() ? std::to_string(StatsCount(stats, family, "accepted")) + "/" +
                                           std::to_string(StatsCount(stats, family, "requests"))
                                     : "?");
    }
    out << "\n";
    for (const DemoDataset& dataset : m_datasets) {
        const auto found = bookmarks.find(dataset.id);
        out << Name("bookmark " + dataset.name) << Cell("") << Cell("");
        for (const std::string& family : DemoFamilies()) {
            std::string text = "-";
            if (dataset.Names(family) && found != bookmarks.end()) {
                const auto bookmark = found->second.find(family);
                if (bookmark != found->second.end()) text = bookmark->second.Text();
            }
            out << Cell(text);
        }
        out << "\n";
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", elapsedSeconds);
    out << Name("elapsed") << Cell(elapsed) << "\n";
    out << "(bookmark: the next row id to send, from SyncPoint.sqlite3 (kta), Navs_SyncPoint.sqlite3 (navs) "
           "and\n"
           " navp_syncPoint.sqlite3 (navp) in "
        << serviceDir << "; posts: the collector's /_stats)\n";
    for (const auto& dataset : bookmarks)
        for (const auto& bookmark : dataset.second)
            if (bookmark.second.state == Bookmark::State::Unreadable)
                out << "warning: cannot read a bookmark: " << bookmark.second.error << "\n";
    if (m_tally.UnreadableLines() > 0)
        out << "warning: " << m_tally.UnreadableLines()
            << " line(s) of the record file are not JSON records\n";
}

std::vector<std::string> DemoReport::MissingLines() const {
    std::vector<std::string> lines;
    for (size_t i = 0; i < m_datasets.size(); ++i) {
        const DemoDataset& dataset = m_datasets[i];
        const std::string what = dataset.name + " (" + (dataset.deviceContext ? dataset.id + ", " : "") +
                                 dataset.DatabaseFile() + ")";
        if (m_written[i] < dataset.rows)
            lines.push_back("only " + std::to_string(m_written[i]) + " of " + std::to_string(dataset.rows) +
                            " rows of " + what + " were written");
        for (const std::string& family : dataset.families) {
            const int accepted = AcceptedOf(dataset, family);
            if (accepted >= m_written[i]) continue;
            if (dataset.deviceContext)
                lines.push_back(family + " did not accept the device context of " + what);
            else
                lines.push_back(family + " accepted " + std::to_string(accepted) + " of " +
                                std::to_string(m_written[i]) + " rows of " + what);
        }
    }
    return lines;
}

}  // namespace datasyncctl
