// What the demo prints about its uploads: the live progress line, the closing table and the
// lines that name what is missing. Everything here only formats; the numbers come from the
// record file (UploadTally), the collector's /_stats and the SyncPoint files.
#pragma once

#include <json/json.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/UploadTally.h"
#include "linuxhost/datastore/BookmarkReader.h"

namespace datasyncctl {

// Bookmarks as the host's reader reports them.
using ZEL::linuxhost::Bookmark;

// The families in the order they are shown.
const std::vector<std::string>& DemoFamilies();

class DemoReport {
public:
    // `written[i]` is the number of rows written so far for `datasets[i]`.
    DemoReport(const std::vector<DemoDataset>& datasets, const std::vector<int>& written,
               const UploadTally& tally);

    // Rows of the datasets naming `family` that it accepted (a device context counts as one),
    // and how many it should accept of those planned.
    int AcceptedBy(const std::string& family) const;
    int ExpectedBy(const std::string& family) const;
    // Every planned row was written and reached every family its dataset names.
    bool Complete() const;

    // "[ 12s] written 150/201  kta 120/101  navs ...  posts 14"; `stats` may be null.
    std::string ProgressLine(double elapsedSeconds, const Json::Value& stats) const;

    // The closing table: rows written and accepted per dataset and family, duplicates, the
    // collector's post counts (when `stats` is an object), bookmarks and the elapsed time.
    // `bookmarks` is keyed by dataset id, then family.
    void WriteTable(std::ostream& out, const Json::Value& stats,
                    const std::map<std::string, std::map<std::string, Bookmark>>& bookmarks,
                    double elapsedSeconds, const std::string& serviceDir) const;

    // One line per shortfall, e.g. "navs accepted 80 of 100 rows of DemoLiveEvent (<id>)".
    std::vector<std::string> MissingLines() const;

private:
    int AcceptedOf(const DemoDataset& dataset, const std::string& family) const;

    const std::vector<DemoDataset>& m_datasets;
    const std::vector<int>& m_written;
    const UploadTally& m_tally;
};

}  // namespace datasyncctl
