// The purge's file-level steps.
#include "datasync/housekeeping/PurgeFiles.h"

#include <filesystem>
#include <system_error>

#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/housekeeping/CutoffStatement.h"

namespace ZEL {

DataSync::TableRef TableInFile(const std::wstring& datasetId, const std::wstring& kind,
                               utility::EGetDBPathMethod root, const std::wstring& path) {
    return {datasetId, L"class " + kind, root, DataSync::FileNameOfPath(path)};
}

}  // namespace ZEL
