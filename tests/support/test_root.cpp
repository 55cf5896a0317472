#include "support/test_root.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

namespace fs = std::filesystem;

TestRoot::TestRoot() {
    std::string tmpl = (fs::temp_directory_path() / "dfota-unit-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    fs::create_directories(root_ + "/data/upgrade/install");
    fs::create_directories(root_ + "/tmp");
    fs::create_directories(root_ + "/bin");
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
    std::ofstream out(host(device_path), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TestRoot::read(const std::string& device_path) const {
    std::ifstream in(host(device_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TestRoot::exists(const std::string& device_path) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(host(device_path), ec));
}

namespace {

int redirect(int target, std::string& file) {
    std::fflush(nullptr);
    file = (fs::temp_directory_path() / ("dfota-capture-" + std::to_string(getpid()) + "-" +
                                         std::to_string(target))).string();
    int saved = dup(target);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, target);
    ::close(fd);
    return saved;
}

std::string restore(int target, int saved, const std::string& file) {
    std::fflush(nullptr);
    dup2(saved, target);
    ::close(saved);
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::remove(file.c_str());
    return ss.str();
}

}  // namespace

CaptureStdout::CaptureStdout() { saved_ = redirect(1, file_); }
CaptureStdout::~CaptureStdout() {
    if (!done_) finish();
}
std::string CaptureStdout::finish() {
    done_ = true;
    return restore(1, saved_, file_);
}

CaptureStderr::CaptureStderr() { saved_ = redirect(2, file_); }
CaptureStderr::~CaptureStderr() {
    if (!done_) finish();
}
std::string CaptureStderr::finish() {
    done_ = true;
    return restore(2, saved_, file_);
}

bool like(std::string_view p, std::string_view t) {
    if (p.empty()) return t.empty();
    if (p[0] == '*') {
        for (size_t i = 0; i <= t.size(); ++i)
            if (like(p.substr(1), t.substr(i))) return true;
        return false;
    }
    if (p[0] == '#') {
        size_t n = 0;
        while (n < t.size() && t[n] >= '0' && t[n] <= '9') ++n;
        for (size_t k = n; k >= 1; --k)
            if (like(p.substr(1), t.substr(k))) return true;
        return false;
    }
    return !t.empty() && p[0] == t[0] && like(p.substr(1), t.substr(1));
}

bool contains_like(std::string_view pattern, std::string_view text) {
    std::string p;
    p.reserve(pattern.size() + 2);
    p.push_back('*');
    p.append(pattern);
    p.push_back('*');
    return like(p, text);
}
