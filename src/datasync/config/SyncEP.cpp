// Parsing a dataset's endpoint-family list.
#include "datasync/config/SyncEP.h"

#include "datasync/common/StringUtil.h"

SyncEP::SyncEP(std::wstring syncEPs) : m_syncEPs(std::move(syncEPs)) {
    init();
    ParseSyncEPs();
}

void SyncEP::init() {
    m_enabled[SyncEP_KTA] = false;
    m_enabled[SyncEP_NAVP] = false;
    m_enabled[SyncEP_NAVS] = false;
}

void SyncEP::ParseSyncEPs() {
    for (std::wstring piece : ZEL::String::Split(m_syncEPs, L",")) {
        ZEL::String::trim(piece, L" \t\n\r\v\f");
        if (ZEL::String::CaseInsesitiveEqual(piece, L"KTA"))
            m_enabled[SyncEP_KTA] = true;
        else if (ZEL::String::CaseInsesitiveEqual(piece, L"NAVP"))
            m_enabled[SyncEP_NAVP] = true;
        else if (ZEL::String::CaseInsesitiveEqual(piece, L"NAVS"))
            m_enabled[SyncEP_NAVS] = true;
    }
}
