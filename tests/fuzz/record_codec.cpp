// The record codec: a row's `data` text decoded as every record kind. Whatever decodes must
// encode, and the encoding must decode to the same record (a second round gives the same text).
#include "datasync/host/JsonSerialize.h"
#include "fuzz/FuzzSupport.h"

namespace {

template <typename Record, typename Decode>
void RoundTrip(const std::wstring& text, Decode decode) {
    Record first;
    if (!decode(text, &first)) return;
    std::wstring encoded;
    fuzz::Check(ZEL::JsonSerialize::Serialize(first, encoded), "a decoded record encodes");
    Record second;
    fuzz::Check(decode(encoded, &second), "an encoded record decodes", ZEL::String::UTF16ToUTF8(encoded));
    std::wstring again;
    fuzz::Check(ZEL::JsonSerialize::Serialize(second, again), "a decoded record encodes");
    fuzz::Check(again == encoded, "encode(decode(encode(r))) == encode(r)",
                ZEL::String::UTF16ToUTF8(encoded) + "\n" + ZEL::String::UTF16ToUTF8(again));
}

template <typename Record>
bool Plain(const std::wstring& text, Record* record) {
    return ZEL::JsonSerialize::DeSerialize(text, record);
}

template <typename Record>
bool ForSync(const std::wstring& text, Record* record) {
    return ZEL::JsonSerialize::DeSerializeForSync(text, record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = ZEL::String::UTF8ToUTF16(fuzz::Text(data, size));
    RoundTrip<ZEL::ItemEvent>(text, Plain<ZEL::ItemEvent>);
    RoundTrip<ZEL::DatasetContext>(text, Plain<ZEL::DatasetContext>);
    RoundTrip<ZEL::DeviceContext>(text, Plain<ZEL::DeviceContext>);
    RoundTrip<ZEL::ItemEvent>(text, ForSync<ZEL::ItemEvent>);
    RoundTrip<ZEL::DatasetContext>(text, ForSync<ZEL::DatasetContext>);
    RoundTrip<ZEL::DeviceContext>(text, ForSync<ZEL::DeviceContext>);
    RoundTrip<ZEL::ItemContext>(text, ForSync<ZEL::ItemContext>);
    return 0;
}
