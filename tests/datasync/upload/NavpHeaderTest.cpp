// The NAVP header and device-context body; the reload under a reader is for ThreadSanitizer builds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "datasync/upload/NavpHeader.h"
#include "datasync/upload/UploadFixture.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"

namespace ZEL {
namespace {

template <typename Record>
void SetTexts(Record& record, const std::wstring& tag,
              std::initializer_list<std::pair<void (Record::*)(const std::wstring&), const wchar_t*>> fields) {
    for (const auto& [set, suffix] : fields) (record.*set)(tag + suffix);
}

// Every text of the context starts with `tag`, so a header mixing two contexts shows.
DeviceContext MakeContext(const std::wstring& tag) {
    using C = DeviceContext; using D = DeviceInfo; using R = RegionInfo; using Z = ZELInfo;
    DeviceContext context;
    SetTexts(context, tag,
             {{&C::set_device_context_id, L"dc"}, {&C::set_device_context_datetime, L"dct"},
              {&C::set_dataset_id, L"ds"}, {&C::set_schema_ver, L"sv"}, {&C::set_source_component, L"app"}});
    SetTexts(context.mutable_device_info(), tag,
             {{&D::set_device_id, L"id1"}, {&D::set_device_id2, L"id2"}, {&D::set_device_name, L"name"},
              {&D::set_device_brand, L"brand"}, {&D::set_device_subbrand, L"sub"}, {&D::set_device_family, L"fam"},
              {&D::set_device_modeltype, L"mtm"}, {&D::set_device_manufacturer, L"mfr"},
              {&D::set_device_biosversion, L"bios"}, {&D::set_device_ecversion, L"ec"},
              {&D::set_device_smbiosversion, L"smb"}, {&D::set_device_enclosuretype, L"enc"},
              {&D::set_device_path, L"path"}, {&D::set_device_subscription, L"subs"},
              {&D::set_device_info_datetime, L"dit"}, {&D::set_os_name, L"os"}, {&D::set_os_version, L"osv"},
              {&D::set_os_language, L"lang"}, {&D::set_os_country, L"geo"}, {&D::set_os_updatetitle, L"upt"},
              {&D::set_os_updatedescription, L"upd"}});
    context.mutable_device_info().set_device_extensionkeyvalue({tag + L"x=1", tag + L"y=2"});
    SetTexts(context.mutable_region_info(), tag,
             {{&R::set_region_name, L"reg"}, {&R::set_country_name, L"cn"}, {&R::set_country_code, L"cc"},
              {&R::set_language_name, L"ln"}, {&R::set_language_code, L"lc"}, {&R::set_region_info_datetime, L"rit"}});
    SetTexts(context.mutable_zel_info(), tag,
             {{&Z::set_zel_id, L"zid"}, {&Z::set_zel_name, L"zname"}, {&Z::set_zel_key, L"key"},
              {&Z::set_zel_version, L"ver"}, {&Z::set_zel_channel, L"chan"}, {&Z::set_zel_datetime, L"zdt"},
              {&Z::set_anonymous_data_collection_preference, L"anon"}});
    context.mutable_zel_info().set_zel_installed_packages({{tag + L"pkg", tag + L"1.0"}});
    return context;
}

class NavpHeaderTest : public uploadtest::UploadFixture {
protected:
    void Store(const std::wstring& tag) {
        m_host.tables.Add(uploadtest::TableOf<DeviceContext>(L""), MakeContext(tag));
    }
    NavpHeader m_header{&m_host.tables};
};

TEST_F(NavpHeaderTest, NoDeviceContextLeavesHeaderAndBodyUntouchedUntilOneExists) {
    m_host.tables.DeleteAllRows(uploadtest::TableOf<DeviceContext>(L""));
    Json::Value header;
    header["keep"] = 1;
    std::wstring app = L"app", body = L"untouched";
    EXPECT_FALSE(m_header.FillNavpHead(header, app));
    EXPECT_EQ(header.getMemberNames(), std::vector<std::string>{"keep"});
    EXPECT_FALSE(m_header.BuildDeviceContextBody({MakeContext(L"A")}, body));
    EXPECT_EQ(body, L"untouched");
    // Each fill retries the load; once loaded the cache is kept until the next explicit load.
    Store(L"A");
    ASSERT_TRUE(m_header.FillNavpHead(header, app));
    EXPECT_EQ(header["keep"], 1) << "other members stay";
    EXPECT_EQ(header["app_info"]["a_name"], "app") << "the name comes from the caller";
    Store(L"B");
    ASSERT_TRUE(m_header.FillNavpHead(header, app));
    EXPECT_EQ(header["sdk_ver"].asString(), "Aver");
    ASSERT_TRUE(m_header.LoadDeviceContext() && m_header.FillNavpHead(header, app));
    EXPECT_EQ(header["sdk_ver"].asString(), "Bver");
}

TEST_F(NavpHeaderTest, DeviceContextBodyWrapsTheLastRecordAsOneEvent) {
    testsupport::ScopedTimeZone zone("<+02>-2");
    testsupport::ManualClock clock(testsupport::FromUnixMillis(1714557600000));  // 2024-05-01T10:00:00Z
    Store(L"H");  // the header comes from the store, the event from the record
    std::wstring body;
    ASSERT_TRUE(m_header.BuildDeviceContextBody({MakeContext(L"old"), MakeContext(L"R")}, body));
    EXPECT_EQ(body,
              L"json={\"app_info\":{\"a_channel\":\"Hchan\",\"a_key\":\"Hkey\",\"a_name\":\"Rapp\",\"a_ver\":\"Hver\"},"
              L"\"device_info\":{\"d_brand\":\"Hbrand\",\"d_fam\":\"Hfam\",\"d_geo\":\"Hgeo\",\"d_id\":\"Hid2\","
              L"\"d_lang\":\"Hlang\",\"d_mtm\":\"Hmtm\",\"d_os\":\"Hos\",\"d_osver\":\"Hosv\",\"d_subbrand\":\"Hsub\","
              L"\"d_time\":\"Hdit\"},"
              L"\"events\":[{\"e_cat\":\"DeviceContext\",\"e_data\":{"
              L"\"country_code\":\"Rcc\",\"country_name\":\"Rcn\",\"dataset_id\":\"Rds\","
              L"\"device_bios_version\":\"Rbios\",\"device_brand\":\"Rbrand\",\"device_context_id\":\"Rdc\","
              L"\"device_ec_version\":\"Rec\",\"device_enclosuretype\":\"Renc\","
              L"\"device_extension_keyvalue\":[\"Rx=1\",\"Ry=2\"],\"device_family\":\"Rfam\",\"device_id\":\"Rid1\","
              L"\"device_id2\":\"Rid2\",\"device_image_info\":\"Rsub\",\"device_info_datetime\":\"Rdit\","
              L"\"device_manufacturer\":\"Rmfr\",\"device_modeltype\":\"Rmtm\",\"device_name\":\"Rname\","
              L"\"device_path\":\"Rpath\",\"device_smbios_version\":\"Rsmb\",\"device_subbrand\":\"Rsub\","
              L"\"device_subscription\":\"Rsubs\",\"language_code\":\"Rlc\",\"language_name\":\"Rln\","
              L"\"os_country\":\"Rgeo\",\"os_language\":\"Rlang\",\"os_name\":\"Ros\","
              L"\"os_update_description\":\"Rupd\",\"os_update_title\":\"Rupt\",\"os_version\":\"Rosv\","
              L"\"region_info_datetime\":\"Rrit\",\"region_name\":\"Rreg\",\"schema_ver\":\"Rsv\","
              L"\"time_zone\":\"UTC+02:00\",\"zel_anonymous_data_collection_preference\":\"Ranon\","
              L"\"zel_channel\":\"Rchan\",\"zel_id\":\"Rzid\",\"zel_info_datetime\":\"Rzdt\","
              L"\"zel_installed_packages\":[{\"key\":\"Rpkg\",\"value\":\"R1.0\"}],\"zel_key\":\"Rkey\","
              L"\"zel_name\":\"Rzname\",\"zel_version\":\"Rver\"},"
              L"\"e_name\":\"DeviceContext updated\",\"e_subcat\":\"Rdc\",\"e_time\":\"Rdct\"}],"
              L"\"sdk_ver\":\"Hver\",\"user_info\":{\"u_lid\":\"\",\"u_sid\":\"\",\"u_uid\":\"\"}}");

    DeviceContext bare = MakeContext(L"R");
    bare.mutable_device_info().set_device_extensionkeyvalue({});
    ASSERT_TRUE(m_header.BuildDeviceContextBody({bare}, body));
    EXPECT_EQ(body.find(L"device_extension_keyvalue"), std::wstring::npos);

    EXPECT_EQ(NavpHeader::TimeZoneFromLocalTime(L"2024-05-01T12:00:00-05:45:00"), L"UTC-05:45");
    EXPECT_EQ(NavpHeader::TimeZoneFromLocalTime(L"2024-05-01T12:00:00"), L"2024-05-01T12:00:00");
}

TEST_F(NavpHeaderTest, ReloadWhileAnotherThreadFillsGivesHeadersOfOneWholeContext) {
    Store(L"A");
    ASSERT_TRUE(m_header.LoadDeviceContext());
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, built{0};
    std::thread reader([&] {
        std::wstring app = L"app";
        for (; !done.load(); ++built) {
            Json::Value header;
            mixed += !m_header.FillNavpHead(header, app);
            const char tag = header["sdk_ver"].asString()[0];  // every header text starts with the same tag
            for (const char* group : {"device_info", "app_info"})
                for (const std::string& key : header[group].getMemberNames())
                    mixed += key != "a_name" && header[group][key].asString()[0] != tag;
        }
    });
    for (int i = 0; i < 200; ++i) {
        Store(i % 2 ? L"A" : L"B");
        EXPECT_TRUE(m_header.LoadDeviceContext());
    }
    while (built.load() < 50) std::this_thread::yield();  // the reader sees the last context too
    done = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace ZEL
