// The endpoint families in one table: for each its kind, its name, the file of its bookmarks,
// and where its URL and authentication type come from. Every part of the agent that names a
// family, its bookmark file or its URL looks it up here.
#pragma once

#include <array>
#include <string>

#include "datasync/config/SyncEP.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {

// The URLs and authentication types the families post with, copied together from the agent's
// endpoint configuration. KTA always posts with the client certificate; NAVS does when the
// policy's auth mode is "mtls"; NAVP posts without one.
struct EndpointUrls {
    std::wstring kta;
    std::wstring navs;
    std::wstring navp;
    ZELCore::HttpAuthType ktaAuth = ZELCore::HTTP_AUTH_MTLS;
    ZELCore::HttpAuthType navsAuth = ZELCore::HTTP_AUTH_DEFAULT;
    ZELCore::HttpAuthType navpAuth = ZELCore::HTTP_AUTH_NONE;
};

struct EndpointFamily {
    SyncEP::SyncEp_type type;
    const wchar_t* name;          // "KTA", as the uploaders and the log name it
    const wchar_t* bookmarkFile;  // the SyncPoint file of the family, in the database's root
    std::wstring EndpointUrls::*url;
    ZELCore::HttpAuthType EndpointUrls::*auth;
};

inline constexpr std::array<EndpointFamily, 3> kEndpointFamilies = {{
    {SyncEP::SyncEP_KTA, L"KTA", L"SyncPoint.sqlite3", &EndpointUrls::kta, &EndpointUrls::ktaAuth},
    {SyncEP::SyncEP_NAVS, L"NAVS", L"Navs_SyncPoint.sqlite3", &EndpointUrls::navs, &EndpointUrls::navsAuth},
    {SyncEP::SyncEP_NAVP, L"NAVP", L"navp_syncPoint.sqlite3", &EndpointUrls::navp, &EndpointUrls::navpAuth},
}};

// The table's entry of `type` (the enumerators are the table's indexes).
constexpr const EndpointFamily& FamilyOf(SyncEP::SyncEp_type type) { return kEndpointFamilies[type]; }

}  // namespace DataSync
}  // namespace ZEL
