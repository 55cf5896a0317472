// The root file-system part of a package: the system script, and the
// package's system/ and modem/ trees, from the difference of two trees.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "mkpkg/util.h"

// Compares the trees old_root and new_root and writes into out the lines of
// updater_script_system (nothing when the trees are alike) and the files its
// lines take from the package. counts: lines by command keyword. errors:
// one entry per path the script cannot express (an owner change, a device
// node, a hard link shared between paths, a mode change of an existing
// directory, a path that does not fit the agent's buffers), each naming
// the path. true when errors is empty.
bool make_rootfs_update(const fs::path& old_root, const fs::path& new_root, const fs::path& out,
                        std::map<std::string, int>& counts, std::vector<std::string>& errors);
