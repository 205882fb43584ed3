// The parts of the transport that need no server: the device-missing test of an answer, the
// loopback hosts, and the mutual-TLS URL mapping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collector/CollectorTestSupport.h"
#include "linuxhost/transport/UrlPolicy.h"

namespace {

using ZEL::CoreUtility;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::transport::IsLoopbackHost;

bool DeviceMissing(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status;
    response.response.message = body;
    return CoreUtility::Is403WithDeviceMissingError(response);
}

TEST(DeviceMissingAnswer, Is403WithTheErrorCodeInAnyCaseAndNothingElse) {
    EXPECT_TRUE(DeviceMissing(403, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_TRUE(DeviceMissing(403, " {\"message\":\"x\", \"errorCode\" : \"DEVICEMISSING\"}\n"));
    using namespace std::string_literals;
    for (const std::string& body : {""s, "DeviceMissing"s, R"({"errorCode":"Other"})"s,
                                    R"({"errorcode":"DeviceMissing"})"s, R"({"errorCode":["DeviceMissing"]})"s,
                                    R"({"errorCode":"DeviceMissing"} and more)"s,
                                    std::string(100000, '[')})  // deep nesting: no crash, no throw
        EXPECT_FALSE(DeviceMissing(403, body)) << body.substr(0, 40);
    for (int status : {401, 200, 0}) EXPECT_FALSE(DeviceMissing(status, R"({"errorCode":"DeviceMissing"})")) << status;
}

TEST(RequestUrl, LoopbackHostsAreLiteralLoopbackAddressesAndLocalhost) {
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "[::1]", "localhost", "LocalHost"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example", "127.example", "", "[::]"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(MtlsUrl, LongestConfiguredPrefixIsReplaced) {
    CurlTransport transport;
    {
        collectortest::ScopedTlsSettings none(ZEL::linuxhost::TlsSettings{});
        EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/"), L"https://a.example/kta/");
    }
    ZEL::linuxhost::TlsSettings tls;
    tls.mtls_url_map = {{"https://a.example/", "https://mtls.a.example/"},
                        {"https://a.example/kta/", "https://kta-mtls.a.example/v2/"},
                        {"", "https://never/"}};
    collectortest::ScopedTlsSettings scoped(tls);
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/events-data"), L"https://kta-mtls.a.example/v2/events-data");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/k\u00e4t\u00e4/"), L"https://mtls.a.example/k\u00e4t\u00e4/");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://b.example/kta/"), L"https://b.example/kta/");
}

}  // namespace
