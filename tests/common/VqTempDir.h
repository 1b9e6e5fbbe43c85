#pragma once

#include "VqString.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

// A directory of its own under /tmp for a test's files, removed with them
// when the test ends; names in it as the library's strings or as paths.
class VqTempDir {
public:
    VqTempDir() {
        char tmpl[] = "/tmp/vq_test_XXXXXX";
        const char* made = mkdtemp(tmpl);
        _path = made ? made : "";
    }
    ~VqTempDir() {
        std::error_code ec;
        if (!_path.empty()) std::filesystem::remove_all(_path, ec);
    }
    VqTempDir(const VqTempDir&) = delete;
    VqTempDir& operator=(const VqTempDir&) = delete;

    const std::string& path() const { return _path; }
    // The directory with its trailing separator, as storage locations take it.
    VqString dir() const { return VqString::fromUtf8(_path + "/"); }
    VqString file(const char* name) const { return VqString::fromUtf8(_path + "/" + name); }
    bool exists(const char* name) const { return std::filesystem::exists(_path + "/" + name); }

private:
    std::string _path;
};
