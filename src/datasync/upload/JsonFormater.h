// The KTA/NAVS request bodies: one JSON layout per record kind, built from one batch of telemetry
// records read by the table store. The batch uploader filters the batch (CustomDataFilter), asks
// for the body here and moves its bookmark past the last row that went into the body.
//
// Every body is compact jsoncpp output (one line, object members sorted by key, non-ASCII text as
// UTF-8), returned as the UTF-8 bytes that go on the wire. Record texts are written as JSON
// strings, unvalidated.
//
// Thread safety: stateless; any number of threads may serialise at once.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "datasync/common/WellKnownIds.h"
#include "datasync/store/Records.h"

namespace ZEL {
namespace DataSync {

class JsonFormater {
public:
    // The device-location dataset: its item events carry encrypted item data.
    static constexpr const wchar_t* kEncryptedItemDatasetId = kDeviceLocationDatasetId;

    // Each overload writes `body` and returns the number of records written into it (for device
    // contexts: 1 when the codec wrote the newest record, 0 otherwise). `lastIncludedId`, when
    // given, is set to -1 first and then to the row id of the last record written, so that the
    // caller never moves its bookmark past a record that was left out.
    //
    // Dataset contexts and item events stop at the first record of another device context than
    // the body's own (the "device-context cut"); the rest goes out in a later batch. An empty batch
    // gives a body whose record array is null and the result 0. On an exception the result is 0
    // and `body` is left as it was.
    static int JsonSerializer(const std::list<DatasetContext>& records, const std::wstring& deviceId,
                              const std::wstring& deviceContextId, std::string& body,
                              std::int64_t* lastIncludedId);
    // Item contexts carry no device context id: the argument is used and the batch is never cut.
    static int JsonSerializer(const std::list<ItemContext>& records, const std::wstring& deviceId,
                              const std::wstring& deviceContextId, std::string& body,
                              std::int64_t* lastIncludedId);
    // The body's device context id is the first record's; when that is empty the argument is used
    // instead and the batch is then not cut.
    static int JsonSerializer(const std::list<ItemEvent>& records, const std::wstring& deviceId,
                              const std::wstring& deviceContextId, std::string& body,
                              std::int64_t* lastIncludedId);
    // The body is the host codec's text of the last (newest) record; the ids are not used. An
    // empty list leaves `body` as it was.
    static int JsonSerializer(const std::list<DeviceContext>& records, const std::wstring& deviceId,
                              const std::wstring& deviceContextId, std::string& body,
                              std::int64_t* lastIncludedId);
};

}  // namespace DataSync
}  // namespace ZEL
