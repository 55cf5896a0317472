// The BSDIFF40 encoder of the release side: a suffix array of the old image,
// the match-extension scan of the format, and the control, diff and extra
// streams each compressed with bzip2.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// Makes a patch that turns old into neu; the same inputs always give the same
// bytes. 0 with the patch in patch, or -1 with error set (an input of 2 GiB
// or more, a compression failure).
int make_patch(std::span<const uint8_t> old, std::span<const uint8_t> neu, std::string& patch, std::string& error);
