// A scratch simulated device for unit tests: a fresh root directory that the
// platform maps every device path into.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

class TestRoot {
public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& root() const { return root_; }
    // Host path of a device path.
    std::string host(const std::string& device_path) const { return root_ + device_path; }
    // Creates the file (and its directories) with the given content.
    void write(const std::string& device_path, const std::string& content) const;
    std::string read(const std::string& device_path) const;
    bool exists(const std::string& device_path) const;
    void mkdirs(const std::string& device_path) const;

private:
    std::string root_;
};

// Everything written to a descriptor from construction until finish().
class Capture {
public:
    explicit Capture(int fd);
    ~Capture() { finish(); }
    std::string finish();

private:
    int fd_, saved_;
    std::FILE* file_;
};

// Whole-text match of a simple pattern: '#' stands for one or more digits,
// '*' for any text (newlines included); everything else is literal.
bool like(std::string_view pattern, std::string_view text);
// The pattern matches somewhere in text.
inline bool contains_like(std::string_view pattern, std::string_view text) {
    return like("*" + std::string(pattern) + "*", text);
}
