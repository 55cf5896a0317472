// The package: the partition-image map, the three image scripts with every
// size and digest, image/ with full images, image patches and block patches,
// the version files, the A/B flag file, and the root file-system part.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "mkpkg/firmware.h"
#include "mkpkg/sign.h"

struct package_summary {
    // Partitions carried and left out (unchanged), by update kind.
    std::map<std::string, int> carried, left_out;
    int blocks = 0;                            // block patches carried
    std::map<std::string, int> file_commands;  // system script lines by keyword
    uint64_t package_bytes = 0;                // every file of the package
    uint64_t new_bytes = 0;                    // the new images and root file-system files
    std::vector<std::string> warnings;
};

// Makes the package that brings OLD to NEW into out, which must not exist
// or be an empty directory; nothing is left at out when it fails. errors:
// every reason, each naming its file or path. With key, the package is
// signed: its manifest and signature are the last files written.
bool make_package(const firmware_desc& fw, const fs::path& old_dir, const fs::path& new_dir, const fs::path& out,
                  package_summary& summary, std::vector<std::string>& errors, const signing_key* key = nullptr);

// The package directory dir as one zip archive, as the device receives it:
// entries sorted, modes and symbolic links kept, fixed times, so that the
// same package always gives the same bytes.
bool write_zip(const fs::path& dir, const fs::path& zip, std::string& error);
