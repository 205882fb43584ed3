// The NAVP request bodies: the records of one batch as NAVP events under the NAVP header, sent as
// the text "json=" followed by compact JSON. Item data values always go out as strings.
#pragma once

#include <list>
#include <string>

#include "datasync/store/Records.h"
#include "datasync/upload/NavpHeader.h"

namespace ZEL {
namespace DataSync {
namespace navp {

// Each builds `body` from every record of `records` (no device-context cut) under `header`'s
// device context, with the last record's source component as the application name. False, with
// `body` untouched, for an empty list, when the header has no device context, or on a jsoncpp
// error.
bool BuildBody(NavpHeader& header, const std::list<ItemEvent>& records, std::wstring& body);
bool BuildBody(NavpHeader& header, const std::list<DatasetContext>& records, std::wstring& body);
// One "DeviceContext updated" event from the last record.
bool BuildBody(NavpHeader& header, const std::list<DeviceContext>& records, std::wstring& body);

}  // namespace navp
}  // namespace DataSync
}  // namespace ZEL
