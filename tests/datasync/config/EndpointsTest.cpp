// Which endpoint families the agent uses after FullInit, and with which URLs: the KTA URL's
// order of sources and its mutual-TLS form, the NAVS and NAVP URLs, URLs that fail the host's
// check, KTA enabled by the datasets, and a restart reading the policy afresh.
#include <gtest/gtest.h>

#include "support/AgentHarness.h"

namespace {

using testsupport::Family;
using testsupport::MakeDataSet;

class EndpointsTest : public testsupport::AgentHarness {
protected:
    // The status of a fresh agent started with the fake's current policy.
    Json::Value StatusAfterFullInit() {
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        Json::Value status = agent.GetStatusSnapshot();
        agent.UnInit();
        return status;
    }
};

TEST_F(EndpointsTest, KtaUrlComesFromTheUrlMapThenPrimaryThenSecondaryThenTheBuiltInDefault) {
    ZEL::DataSync::SetDefaultDeviceEndpointUrl(L"https://default.example.net/device");
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.syncEndpointUrls[L"KTA_syncEP_url"] = L"https://map.example.com/kta";
        policy.primaryUrl = L"https://primary.example.com/kta";
        policy.secondaryUrl = L"https://secondary.example.com/kta";
    });
    EXPECT_EQ(Family(StatusAfterFullInit(), "KTA")["url"].asString(), "https://map.example.com/kta");

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.syncEndpointUrls.clear(); });
    EXPECT_EQ(Family(StatusAfterFullInit(), "KTA")["url"].asString(), "https://primary.example.com/kta");

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl.clear(); });
    EXPECT_EQ(Family(StatusAfterFullInit(), "KTA")["url"].asString(), "https://secondary.example.com/kta");

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.secondaryUrl.clear(); });
    const Json::Value status = StatusAfterFullInit();
    EXPECT_EQ(Family(status, "KTA")["url"].asString(), "https://default.example.net/device");
    EXPECT_TRUE(Family(status, "KTA")["url_valid"].asBool());
}

TEST_F(EndpointsTest, OnlyTheKtaUrlTakesItsMutualTlsFormAndOnlyWhenATransportIsInstalled) {
    m_transport.SetMtlsPrefix(L"https://ep.example.com/", L"https://mtls.ep.example.com/");
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.primaryUrl = L"https://ep.example.com/kta";
        policy.navsUrl = L"https://ep.example.com/navs";
        policy.navpUrl = L"https://ep.example.com/navp";
    });
    Json::Value status = StatusAfterFullInit();
    EXPECT_EQ(Family(status, "KTA")["url"].asString(), "https://mtls.ep.example.com/kta");
    EXPECT_EQ(Family(status, "NAVS")["url"].asString(), "https://ep.example.com/navs");
    EXPECT_EQ(Family(status, "NAVP")["url"].asString(), "https://ep.example.com/navp");

    ZEL::CoreUtility::SetInstance(nullptr);
    status = StatusAfterFullInit();
    EXPECT_EQ(Family(status, "KTA")["url"].asString(), "https://ep.example.com/kta");
    EXPECT_EQ(m_transport.RequestCount(), 0);
}

TEST_F(EndpointsTest, NavsAndNavpUrlsComeFromTheUrlMapThenTheirFieldAndEmptyLeavesTheFamilyOff) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.syncEndpointUrls[L"NAVS_syncEP_url"] = L"https://map.example.com/navs";
        policy.navsUrl = L"https://field.example.com/navs";
        policy.navpUrl = L"https://field.example.com/navp";
    });
    Json::Value status = StatusAfterFullInit();
    EXPECT_TRUE(Family(status, "NAVS")["enabled"].asBool());
    EXPECT_EQ(Family(status, "NAVS")["url"].asString(), "https://map.example.com/navs");
    EXPECT_TRUE(Family(status, "NAVP")["enabled"].asBool());
    EXPECT_EQ(Family(status, "NAVP")["url"].asString(), "https://field.example.com/navp");

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.syncEndpointUrls.clear();
        policy.navsUrl.clear();
        policy.navpUrl.clear();
    });
    status = StatusAfterFullInit();
    EXPECT_FALSE(Family(status, "NAVS")["enabled"].asBool());
    EXPECT_FALSE(Family(status, "NAVP")["enabled"].asBool());
    EXPECT_TRUE(Logged("Navs sync url is empty"));
    EXPECT_TRUE(Logged("navp sync url is empty"));
    EXPECT_FALSE(Logged("Invalid"));
}

TEST_F(EndpointsTest, UrlsFailingTheHostCheckAreLoggedButKeepTheirFamilyEnabled) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.primaryUrl = L"https://bad host.example.com/kta";
        policy.navsUrl = L"ftp://navs.example.com/";
        policy.navpUrl = L"https://user@navp.example.com/";
        policy.datasets = {MakeDataSet(L"DS-1", L"Battery", L"KTA,NAVS,NAVP", L"nrt")};
    });
    const Json::Value status = StatusAfterFullInit();
    for (const char* name : {"KTA", "NAVS", "NAVP"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(Family(status, name)["enabled"].asBool());
        EXPECT_FALSE(Family(status, name)["url_valid"].asBool());
        EXPECT_TRUE(Logged(std::string("Invalid ") + name + " url"));
    }
}

TEST_F(EndpointsTest, KtaIsEnabledOnlyByAnEnabledDatasetNamingKtaInUpperCase) {
    struct Case {
        const char* name;
        std::list<ZEL::DataSet> datasets;
        bool ktaEnabled;
    };
    const Case cases[] = {
        {"scheduled dataset naming KTA", {MakeDataSet(L"DS-1", L"A", L"KTA", L"15m")}, true},
        {"lower-case kta", {MakeDataSet(L"DS-1", L"A", L"kta", L"nrt")}, false},
        {"disabled dataset naming KTA", {MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt", false)}, false},
        {"no datasets", {}, false},
        {"one of several",
         {MakeDataSet(L"DS-1", L"A", L"NAVS", L"nrt"), MakeDataSet(L"DS-2", L"B", L"KTA", L"nrt", false),
          MakeDataSet(L"DS-3", L"C", L"NAVP, KTA", L"1d")},
         true},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        m_config->ChangePolicy([&](ZEL::TelemetryPolicy& policy) { policy.datasets = testCase.datasets; });
        EXPECT_EQ(Family(StatusAfterFullInit(), "KTA")["enabled"].asBool(), testCase.ktaEnabled);
    }
}

}  // namespace
