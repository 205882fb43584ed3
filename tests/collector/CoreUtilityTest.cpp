// The parts of the transport that need no server: the installed instance, the device-missing
// test of an answer, the classification of curl outcomes, which URLs may be sent, the
// mutual-TLS URL mapping and the device facts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "collector/CollectorTestSupport.h"
#include "linuxhost/transport/CurlResult.h"
#include "linuxhost/transport/UrlPolicy.h"

namespace {

using ZEL::CoreUtility;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::transport::CheckRequestUrl;
using ZEL::linuxhost::transport::IsLoopbackHost;
using ZEL::linuxhost::transport::TransportResultFromCurl;
namespace result = ZELCore::TransportResult;

ZELCore::InvokeHttpResponse Answer(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status;
    response.response.message = body;
    return response;
}

bool DeviceMissing(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response = Answer(status, body);
    return CoreUtility::Is403WithDeviceMissingError(response);
}

TEST(CoreUtilityInstance, InstalledInstanceIsReturnedUntilReplaced) {
    CurlTransport first;
    CurlTransport second;
    CoreUtility::SetInstance(&first);
    EXPECT_EQ(CoreUtility::GetInstance(), &first);
    CoreUtility::SetInstance(&second);
    EXPECT_EQ(CoreUtility::GetInstance(), &second);
    CoreUtility::SetInstance(nullptr);
    EXPECT_EQ(CoreUtility::GetInstance(), nullptr);
}

TEST(DeviceMissingAnswer, Is403WithTheErrorCodeInAnyCase) {
    EXPECT_TRUE(DeviceMissing(403, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_TRUE(DeviceMissing(403, R"({"message":"x","errorCode":"devicemissing"})"));
    EXPECT_TRUE(DeviceMissing(403, " {\"errorCode\" : \"DEVICEMISSING\"}\n"));
}

TEST(DeviceMissingAnswer, AnythingElseIsNot) {
    EXPECT_FALSE(DeviceMissing(403, ""));
    EXPECT_FALSE(DeviceMissing(403, "Forbidden"));
    EXPECT_FALSE(DeviceMissing(403, "DeviceMissing"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorCode":"Other"})"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorcode":"DeviceMissing"})"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorCode":["DeviceMissing"]})"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorCode":5})"));
    EXPECT_FALSE(DeviceMissing(403, R"(["DeviceMissing"])"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorCode":"DeviceMissing"} and more)"));
    EXPECT_FALSE(DeviceMissing(403, R"({"errorCode":"DeviceMissing")"));
    EXPECT_FALSE(DeviceMissing(401, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_FALSE(DeviceMissing(200, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_FALSE(DeviceMissing(0, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_FALSE(DeviceMissing(403, std::string(100000, '[')));  // deep nesting: no crash, no throw
}

TEST(CurlOutcome, EachFailureKindHasItsResultCode) {
    EXPECT_EQ(TransportResultFromCurl(CURLE_OK), result::OK);
    EXPECT_EQ(TransportResultFromCurl(CURLE_COULDNT_RESOLVE_HOST), result::HOST_NOT_RESOLVED);
    EXPECT_EQ(TransportResultFromCurl(CURLE_COULDNT_RESOLVE_PROXY), result::HOST_NOT_RESOLVED);
    EXPECT_EQ(TransportResultFromCurl(CURLE_COULDNT_CONNECT), result::CANNOT_CONNECT);
    EXPECT_EQ(TransportResultFromCurl(CURLE_OPERATION_TIMEDOUT), result::TIMED_OUT);
    for (CURLcode tls : {CURLE_SSL_CONNECT_ERROR, CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE,
                         CURLE_SSL_CERTPROBLEM, CURLE_SSL_CIPHER, CURLE_SSL_ISSUER_ERROR, CURLE_SSL_CLIENTCERT}) {
        EXPECT_EQ(TransportResultFromCurl(tls), result::TLS_FAILURE) << tls;
    }
    for (CURLcode lost : {CURLE_SEND_ERROR, CURLE_RECV_ERROR, CURLE_GOT_NOTHING, CURLE_ABORTED_BY_CALLBACK}) {
        EXPECT_EQ(TransportResultFromCurl(lost), result::CONNECTION_LOST) << lost;
    }
    for (CURLcode other : {CURLE_UNSUPPORTED_PROTOCOL, CURLE_URL_MALFORMAT, CURLE_OUT_OF_MEMORY, CURLE_TOO_MANY_REDIRECTS}) {
        EXPECT_EQ(TransportResultFromCurl(other), result::OTHER_FAILURE) << other;
    }
}

TEST(RequestUrl, LoopbackHostsAreLiteralLoopbackAddressesAndLocalhost) {
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "[::1]", "localhost", "LocalHost"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example", "127.example", "", "[::]"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(RequestUrl, HttpsIsAlwaysAllowedHttpOnlyToAllowedLoopback) {
    EXPECT_TRUE(CheckRequestUrl("https://telemetry.example/kta/events-data", false).allowed);
    EXPECT_TRUE(CheckRequestUrl("HTTPS://127.0.0.1:8443/navp", false).allowed);
    EXPECT_FALSE(CheckRequestUrl("http://127.0.0.1:8443/navp", false).allowed);
    EXPECT_TRUE(CheckRequestUrl("http://127.0.0.1:8443/navp", true).allowed);
    EXPECT_TRUE(CheckRequestUrl("http://[::1]:8443/navp", true).allowed);
    EXPECT_FALSE(CheckRequestUrl("http://telemetry.example/navp", true).allowed);
    // The host is the one after the user info, as curl connects to it.
    EXPECT_FALSE(CheckRequestUrl("http://127.0.0.1@telemetry.example/navp", true).allowed);
    EXPECT_FALSE(CheckRequestUrl("ftp://127.0.0.1/x", true).allowed);
    EXPECT_FALSE(CheckRequestUrl("/relative/path", true).allowed);
    EXPECT_FALSE(CheckRequestUrl("", true).allowed);
    EXPECT_THAT(CheckRequestUrl("http://127.0.0.1/", false).reason, testing::HasSubstr("allow_http_loopback"));
}

TEST(MtlsUrl, LongestConfiguredPrefixIsReplaced) {
    ZEL::linuxhost::TlsSettings tls;
    tls.mtls_url_map = {{"https://a.example/", "https://mtls.a.example/"},
                        {"https://a.example/kta/", "https://kta-mtls.a.example/v2/"},
                        {"", "https://never/"}};
    collectortest::ScopedTlsSettings scoped(tls);
    CurlTransport transport;
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/events-data"), L"https://kta-mtls.a.example/v2/events-data");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/navs/x"), L"https://mtls.a.example/navs/x");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://b.example/kta/"), L"https://b.example/kta/");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/k\u00e4t\u00e4/"), L"https://mtls.a.example/k\u00e4t\u00e4/");
}

TEST(MtlsUrl, UnchangedWithoutMap) {
    collectortest::ScopedTlsSettings scoped(ZEL::linuxhost::TlsSettings{});
    CurlTransport transport;
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/"), L"https://a.example/kta/");
}

TEST(DeviceFacts, AnswerFromTheCurrentDeviceState) {
    const ZEL::linuxhost::DeviceState saved = ZEL::linuxhost::CurrentDeviceState();
    CurlTransport transport;
    ZEL::linuxhost::UpdateDeviceState([](ZEL::linuxhost::DeviceState& device) {
        device.id = "dev-\u00e9-42";
        device.registered = false;
    });
    std::wstring id;
    transport.GetDeviceId(id);
    EXPECT_EQ(id, L"dev-\u00e9-42");
    EXPECT_FALSE(transport.IsDeviceRegistered());
    ZEL::linuxhost::UpdateDeviceState([](ZEL::linuxhost::DeviceState& device) { device.registered = true; });
    EXPECT_TRUE(transport.IsDeviceRegistered());
    ZEL::linuxhost::UpdateDeviceState([&](ZEL::linuxhost::DeviceState& device) { device = saved; });
}

}  // namespace
