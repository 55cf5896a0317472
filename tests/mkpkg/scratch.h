// A scratch directory of the host for one test, removed with everything in it.
#pragma once

#include <unistd.h>

#include "mkpkg/util.h"

struct scratch {
    fs::path dir;
    scratch() {
        std::string t = (fs::temp_directory_path() / "mkpkg-test.XXXXXX").string();
        dir = ::mkdtemp(t.data());
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
};
