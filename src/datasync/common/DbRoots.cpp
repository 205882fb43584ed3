// The labels of the database roots.
#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace utility {

const wchar_t* DBPathMethodLabel(EGetDBPathMethod method) {
    switch (method) {
        case DB_PATH_DEFAULT:
            return L"default";
        case DB_PATH_INTERNAL:
            return L"internal/DB";
        case DB_PATH_USER_SHARED:
            return L"user/SharedDB";
        case DB_PATH_LOCAL:
            return L"LocalDB";
    }
    return L"unknown";
}

}  // namespace utility
}  // namespace ZEL
