// SyncEP: which endpoint families one dataset names in its comma-separated `syncEPs` text
// ("KTA,NAVS", " navp\t"). Names are trimmed and compared ignoring case; unknown names are
// ignored; the separator is the comma only.
#pragma once

#include <map>
#include <string>

class SyncEP {
public:
    enum SyncEp_type { SyncEP_KTA = 0, SyncEP_NAVS = 1, SyncEP_NAVP = 2 };

    explicit SyncEP(std::wstring syncEPs);
    SyncEP(const SyncEP&) = default;
    SyncEP& operator=(const SyncEP&) = default;
    virtual ~SyncEP() = default;

    void init();
    void ParseSyncEPs();

    bool isKTAEnabled() const { return m_enabled.at(SyncEP_KTA); }
    bool isNAVSEnabled() const { return m_enabled.at(SyncEP_NAVS); }
    bool isNAVPEnabled() const { return m_enabled.at(SyncEP_NAVP); }
    bool isKTAOnlyEnabled() const { return isKTAEnabled() && !isNAVSEnabled() && !isNAVPEnabled(); }
    bool isNAVSOnlyEnabled() const { return isNAVSEnabled() && !isKTAEnabled() && !isNAVPEnabled(); }
    bool isNAVPOnlyEnabled() const { return isNAVPEnabled() && !isKTAEnabled() && !isNAVSEnabled(); }
    bool isValid() const { return isKTAEnabled() || isNAVSEnabled() || isNAVPEnabled(); }
    bool IsEnabled(SyncEp_type type) const { return m_enabled.at(type); }

    const std::wstring& SyncEPs() const { return m_syncEPs; }

private:
    std::wstring m_syncEPs;
    std::map<SyncEp_type, bool> m_enabled;
};
