// A firmware build as the generator reads it: images/, versions/, rootfs/
// and, in the new build, firmware.toml describing the product.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mkpkg/util.h"

enum class update_kind { full, diff, block };

struct partition_desc {
    std::string name;   // logical name of the scripts and the map
    std::string image;  // file under images/
    std::string nr;     // device names: NR, slot A, slot B (NR: all three the NR name)
    std::string a;
    std::string b;
    update_kind update = update_kind::full;
};

struct firmware_desc {
    bool nand = false;        // storage = "nand"
    bool ab = false;          // slots = "ab"
    bool both_slots = false;  // A/B: full images to both slots
    std::vector<partition_desc> partitions;
};

// Reads firmware.toml. Nothing, with error naming the file, the table and
// the field, when a field is wrong, missing or unknown.
std::optional<firmware_desc> read_firmware(const fs::path& toml, std::string& error);

const char* update_name(update_kind kind);
