// The checks of dst_check: before anything changes, every item of the system
// script and of the image-diff script must be new, old, or recoverable.
#pragma once

// System script. 0 (also without a script) or -1.
int do_check();
// Image-diff script; rebuilds the upgraded-partition list. 0 or -1. A
// check-only run also proves each patch of an old image in /tmp and removes
// no save file.
int do_check2(bool check_only);
inline int do_check2() { return do_check2(false); }
