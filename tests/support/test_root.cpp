#include "support/test_root.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/platform.h"

namespace fs = std::filesystem;

TestRoot::TestRoot() : root_((fs::temp_directory_path() / "dfota-unit-XXXXXX").string()) {
    if (!mkdtemp(root_.data())) throw std::runtime_error("mkdtemp failed");
    for (const char* d : {"/data/upgrade/install", "/tmp", "/bin"}) fs::create_directories(root_ + d);
    setenv("DFOTA_SYSROOT", root_.c_str(), 1);
    unsetenv("DFOTA_SIM_CUT_AT");
    unsetenv("DFOTA_SIM_TRACE");
    if (plat_init() != 0) throw std::runtime_error("plat_init failed");
}

TestRoot::~TestRoot() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void TestRoot::mkdirs(const std::string& device_path) const { fs::create_directories(host(device_path)); }

void TestRoot::write(const std::string& device_path, const std::string& content) const {
    fs::create_directories(fs::path(host(device_path)).parent_path());
    std::ofstream(host(device_path), std::ios::binary | std::ios::trunc) << content;
}

std::string TestRoot::read(const std::string& device_path) const {
    std::ifstream in(host(device_path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool TestRoot::exists(const std::string& device_path) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(host(device_path), ec));
}

Capture::Capture(int fd) : fd_(fd), saved_(dup(fd)), file_(std::tmpfile()) {
    std::fflush(nullptr);
    dup2(fileno(file_), fd);
}

std::string Capture::finish() {
    if (saved_ < 0) return {};
    std::fflush(nullptr);
    dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
    std::string text;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
    std::fclose(file_);
    return text;
}

bool like(std::string_view p, std::string_view t) {
    if (p.empty()) return t.empty();
    // The lengths of text that the first pattern character can stand for.
    size_t shortest = 1, longest = 0;
    if (p[0] == '*') {
        shortest = 0;
        longest = t.size();
    } else if (p[0] == '#') {
        while (longest < t.size() && t[longest] >= '0' && t[longest] <= '9') ++longest;
    } else {
        longest = !t.empty() && t[0] == p[0];
    }
    for (size_t n = shortest; n <= longest; ++n)
        if (like(p.substr(1), t.substr(n))) return true;
    return false;
}
