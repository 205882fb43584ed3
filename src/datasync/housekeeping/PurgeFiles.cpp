// The purge's file-level steps.
#include "datasync/housekeeping/PurgeFiles.h"

#include "datasync/common/Paths.h"

namespace ZEL {

DataSync::TableRef TableInFile(const std::wstring& datasetId, const std::wstring& kind,
                               utility::EGetDBPathMethod root, const std::wstring& path) {
    return {datasetId, L"class " + kind, root, DataSync::FileNameOfPath(path)};
}

}  // namespace ZEL
