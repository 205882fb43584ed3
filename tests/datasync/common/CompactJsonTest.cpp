#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "datasync/common/CompactJson.h"

namespace {

using ZEL::DataSync::CompactJson;

// The text jsoncpp's own writer makes of `value` in the agent's settings: stored records and
// peers have only ever seen this form, so the agent's writer must match it byte for byte.
std::string JsoncppText(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

double RealOfBits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A random value up to `depth` levels deep: every byte in strings and keys (NUL, controls,
// quotes, broken UTF-8), integers at their extremes, reals from raw bit patterns (NaN, the
// infinities, subnormals), empty and nested containers.
Json::Value RandomValue(std::mt19937_64& random, int depth) {
    const auto text = [&random] {
        std::string bytes(random() % 12, '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random() % 4 == 0 ? random() % 0x30 : random() % 256);
        return bytes;
    };
    switch (random() % (depth > 0 ? 9 : 7)) {
        case 0:
            return Json::Value();
        case 1:
            return Json::Value(random() % 2 == 0);
        case 2:
            return Json::Value(static_cast<Json::Int64>(random()));
        case 3:
            return Json::Value(static_cast<Json::UInt64>(random()));
        case 4:
            return Json::Value(RealOfBits(random()));
        case 5:
            return Json::Value(static_cast<double>(static_cast<std::int32_t>(random())) / 8);
        case 6:
            return Json::Value(text());
        case 7: {
            Json::Value array(Json::arrayValue);
            for (std::uint64_t n = random() % 4; n > 0; --n) array.append(RandomValue(random, depth - 1));
            return array;
        }
        default: {
            Json::Value object(Json::objectValue);
            for (std::uint64_t n = random() % 4; n > 0; --n) object[text()] = RandomValue(random, depth - 1);
            return object;
        }
    }
}

TEST(CompactJson, WritesJsoncppsTextByteForByte) {
    Json::Value edges(Json::objectValue);
    edges["escapes"] = std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f", 12);  // with the NUL at its end
    edges["utf8 and broken utf8"] = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff\xc3";
    edges[std::string("key\0with nul", 12)] = "";
    edges["integers"].append(std::numeric_limits<Json::Int64>::min());
    edges["integers"].append(std::numeric_limits<Json::UInt64>::max());
    edges["integers"].append(0);
    for (double real : {0.0, -0.0, 3.0, 0.1, 1e300, -2.5e-308, 5e-324, std::nan(""), HUGE_VAL, -HUGE_VAL})
        edges["reals"].append(real);
    edges["empty"].append(Json::Value(Json::arrayValue));
    edges["empty"].append(Json::Value(Json::objectValue));
    edges["empty"].append(Json::Value());
    EXPECT_EQ(CompactJson(edges), JsoncppText(edges));

    std::mt19937_64 random(20261210);
    for (int n = 0; n < 2000; ++n) {
        const Json::Value value = RandomValue(random, 3);
        ASSERT_EQ(CompactJson(value), JsoncppText(value)) << "value " << n;
    }
}

}  // namespace
