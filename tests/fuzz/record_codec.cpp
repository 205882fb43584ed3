// The record codec: a row's `data` text decoded as every record kind. Whatever decodes must
// encode, and the encoding must decode to the same record (a second round gives the same text).
#include "datasync/store/RecordCodec.h"
#include "fuzz/FuzzSupport.h"

namespace {

template <typename Record, typename Decode>
void RoundTrip(const std::wstring& text, Decode decode) {
    Record first, second;
    if (!decode(text, &first)) return;
    std::wstring encoded, again;
    fuzz::Check(ZEL::JsonSerialize::Serialize(first, encoded), "a decoded record encodes");
    fuzz::Check(decode(encoded, &second), "an encoded record decodes", ZEL::String::UTF16ToUTF8(encoded));
    fuzz::Check(ZEL::JsonSerialize::Serialize(second, again), "a decoded record encodes");
    fuzz::Check(again == encoded, "encode(decode(encode(r))) == encode(r)",
                ZEL::String::UTF16ToUTF8(encoded) + "\n" + ZEL::String::UTF16ToUTF8(again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = ZEL::String::UTF8ToUTF16(fuzz::Text(data, size));
    const auto plain = [](const std::wstring& t, auto* record) { return ZEL::JsonSerialize::DeSerialize(t, record); };
    const auto forSync = [](const std::wstring& t, auto* record) { return ZEL::JsonSerialize::DeSerializeForSync(t, record); };
    RoundTrip<ZEL::ItemEvent>(text, plain);
    RoundTrip<ZEL::DatasetContext>(text, plain);
    RoundTrip<ZEL::DeviceContext>(text, plain);
    RoundTrip<ZEL::ItemEvent>(text, forSync);
    RoundTrip<ZEL::DatasetContext>(text, forSync);
    RoundTrip<ZEL::DeviceContext>(text, forSync);
    RoundTrip<ZEL::ItemContext>(text, forSync);
    return 0;
}
