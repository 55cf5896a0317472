// The package's partition-image map: logical partition name to image file
// and device names.
#pragma once

#include <cstddef>
#include <string>

#include "core/guarded_list.h"

struct partition_image_entry {
    std::string pname;      // logical name used by the updater scripts
    std::string imagename;  // image file inside DIR_IMAGE, base name of its patches
    std::string nr_pname;   // device name on an NR system
    std::string a_pname;    // device name of slot A
    std::string b_pname;    // device name of slot B
};

struct partition_image_node {
    guarded_list_node link;
    partition_image_entry* entry;
};

extern guarded_list partition_image_map;

// Loads PARTITION_IMAGE_MAP_CFG, keeping the lines that fit the recovery
// mode. 0, or -1 after a log line.
int kelo_construct_partition_image_map_list();

// The lookups copy the name into out (out_size bytes, terminator included)
// and return 0, or return -1: no such partition, or a name that does not fit
// (logged; out is then left empty).
int kelo_get_imagename_by_partiton(const char* pname, char* out, size_t out_size);
// type 0: running slot, 1: other slot, 2: slot A, 3: slot B.
int get_ab_pname(const char* pname, char* out, size_t out_size, int type);
int get_nr_pname(const char* pname, char* out, size_t out_size);
