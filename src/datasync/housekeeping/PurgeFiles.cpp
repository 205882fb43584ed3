// The purge's file-level steps.
#include "datasync/housekeeping/PurgeFiles.h"

#include <filesystem>
#include <system_error>

#include "datasync/common/Paths.h"
#include "datasync/host/StringUtil.h"

namespace ZEL {

bool IsExistingRegularFile(const std::wstring& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(String::UTF16ToUTF8(path), error);
}

DataSync::TableRef TableInFile(const std::wstring& datasetId, const std::wstring& kind,
                               utility::EGetDBPathMethod root, const std::wstring& path) {
    return {datasetId, L"class " + kind, root, DataSync::FileNameOfPath(path)};
}

}  // namespace ZEL
