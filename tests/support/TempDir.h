// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it at the
// end of the test. path() ends with '/'.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "datasync/common/StringUtil.h"

namespace testsupport {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/datasync-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
        m_path = pattern + "/";
    }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(m_path, ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::wstring wpath() const { return ZEL::String::UTF8ToUTF16(m_path); }
    // A sub-folder, created on demand, ending with '/'.
    std::string sub(const std::string& name) const {
        std::filesystem::create_directories(m_path + name);
        return m_path + name + "/";
    }

private:
    std::string m_path;
};

}  // namespace testsupport
