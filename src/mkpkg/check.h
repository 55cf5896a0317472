// The dry run of a package: a simulated device of the declared kind built
// from the old firmware, the agent run on it, the result compared with the
// new firmware; optionally with power cuts spread over the run.
#pragma once

#include <cstdio>
#include <string>

#include "mkpkg/firmware.h"

struct check_options {
    fs::path old_dir, new_dir, package;
    int cuts = 0;           // power cuts spread over the run
    std::string sim;        // the dfota-sim binary
};

// Prints the table of every partition (every slot on A/B) and every changed
// path of the root file system to out. 0 when everything matches after the
// run and after every cut, 1 otherwise (errors on standard error).
int check_package(const firmware_desc& fw, const check_options& opt, std::FILE* out);
