// A scratch simulated device for unit tests: a fresh root directory that the
// platform maps every device path into.
#pragma once

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

// Everything written to stdout while the object lives.
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
    std::string finish();

private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
};

class CaptureStderr {
public:
    CaptureStderr();
    ~CaptureStderr();
    std::string finish();

private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
};

// Whole-text match of a simple pattern: '#' stands for one or more digits,
// '*' for any text (newlines included); everything else is literal.
bool like(std::string_view pattern, std::string_view text);
// Some part of text matches the pattern.
bool contains_like(std::string_view pattern, std::string_view text);
