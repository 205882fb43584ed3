#include "support/AgentHarness.h"

namespace {

using testsupport::Family;
using testsupport::MakeDataSet;
using Policy = ZEL::TelemetryPolicy;

class EndpointsTest : public testsupport::AgentHarness {
protected:
    static std::string Urls(DataSyncAgent& agent) {
        agent.FullInit();
        const Json::Value status = agent.GetStatusSnapshot();
        return Family(status, "KTA")["url"].asString() + " " + Family(status, "NAVS")["url"].asString() + " " +
               Family(status, "NAVP")["url"].asString();
    }
};

TEST_F(EndpointsTest, EachUrlComesFromTheUrlMapThenItsFieldsOnlyKtaTakesItsMutualTlsFormAndTheHostChecksValidity) {
    DataSyncAgent agent;  // restarted at each step: nothing of the previous policy may stay
    agent.SetDefaultDeviceEndpointUrl(L"https://default.example.net/device");
    m_config->ChangePolicy([](Policy& p) {
        p.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://map.example/kta"},
                              {L"NAVS_syncEP_url", L"https://map.example/navs"},
                              {L"NAVP_syncEP_url", L"https://map.example/navp"}};
        p.primaryUrl = L"https://primary.example/kta", p.secondaryUrl = L"https://secondary.example/kta";
        p.navsUrl = L"https://field.example/navs", p.navpUrl = L"https://field.example/navp";
    });
    agent.Init(m_stop);
    EXPECT_EQ(Urls(agent), "https://map.example/kta https://map.example/navs https://map.example/navp");
    m_transport.SetMtlsPrefix(L"https://map.example/", L"https://mtls.map.example/");
    EXPECT_EQ(Urls(agent), "https://mtls.map.example/kta https://map.example/navs https://map.example/navp");
    m_transport.SetMtlsPrefix(L"", L"");
    m_config->ChangePolicy([](Policy& policy) { policy.syncEndpointUrls.clear(); });
    EXPECT_EQ(Urls(agent), "https://primary.example/kta https://field.example/navs https://field.example/navp");
    m_config->ChangePolicy([](Policy& policy) { policy.primaryUrl.clear(); });
    EXPECT_EQ(Urls(agent), "https://secondary.example/kta https://field.example/navs https://field.example/navp");
    m_config->ChangePolicy([](Policy& p) { p.secondaryUrl.clear(), p.navsUrl.clear(), p.navpUrl.clear(); });
    EXPECT_EQ(Urls(agent), "https://default.example.net/device  ");
    Json::Value status = agent.GetStatusSnapshot();
    EXPECT_TRUE(Family(status, "KTA")["url_valid"].asBool());
    EXPECT_FALSE(Family(status, "NAVS")["enabled"].asBool() || Family(status, "NAVP")["enabled"].asBool())
        << "an empty URL leaves the family off";
    // URLs that fail the host's check keep their family enabled.
    m_config->ChangePolicy([](Policy& p) {
        p.primaryUrl = L"https://bad host.example.com/kta", p.navsUrl = L"ftp://navs.example.com/";
        p.navpUrl = L"https://user@navp.example.com/";
        p.datasets = {MakeDataSet(L"DS-1", L"Battery", L"KTA,NAVS,NAVP", L"nrt")};
    });
    agent.FullInit();
    status = agent.GetStatusSnapshot();
    for (const char* name : {"KTA", "NAVS", "NAVP"})
        EXPECT_TRUE(Family(status, name)["enabled"].asBool() && !Family(status, name)["url_valid"].asBool()) << name;
    EXPECT_EQ(m_transport.RequestCount(), 0);
}

TEST_F(EndpointsTest, KtaIsEnabledOnlyByAnEnabledDatasetNamingKtaInUpperCase) {
    const struct { std::list<ZEL::DataSet> datasets; bool ktaEnabled; } cases[] = {
        {{MakeDataSet(L"DS-1", L"A", L"KTA", L"15m")}, true}, {{MakeDataSet(L"DS-1", L"A", L"kta", L"nrt")}, false},
        {{MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt", false)}, false},
        {{MakeDataSet(L"DS-1", L"A", L"NAVS", L"nrt"), MakeDataSet(L"DS-2", L"B", L"KTA", L"nrt", false),
          MakeDataSet(L"DS-3", L"C", L"NAVP, KTA", L"1d")}, true}};
    DataSyncAgent agent;
    agent.Init(m_stop);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        m_config->ChangePolicy([&](Policy& policy) { policy.datasets = c.datasets; });
        agent.FullInit();
        EXPECT_EQ(Family(agent.GetStatusSnapshot(), "KTA")["enabled"].asBool(), c.ktaEnabled);
    }
}

}  // namespace
