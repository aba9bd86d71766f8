// A fresh directory under /tmp for one test, removed with everything in it when the object
// goes. path() is empty when the directory could not be made (the test then fails on its
// first file operation).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace testtools {

class ScratchDirectory {
public:
    explicit ScratchDirectory(std::string_view prefix = "pellix-test") {
        std::string templ = "/tmp/" + std::string(prefix) + "-XXXXXX";
        if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    // The path of a name inside the directory.
    std::string join(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

}  // namespace testtools
