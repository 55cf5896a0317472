// Whole partition images brought from the old to the new image by a patch.
#pragma once

#include <cstdint>
#include <string>

#include "context/package.h"
#include "image/script.h"

// Where a patch's old image lies: a file, or an eMMC node of which only the
// size bytes from offset are the image (size -1: the whole file).
struct old_image {
    std::string path = TMP_FILE_PT;
    int64_t size = -1;
    int64_t offset = 0;  // a block's place in its partition
};

// Where size bytes of a partition from offset can be read: an eMMC node
// where it lies (a copy would only be read once, and /tmp is RAM on the
// module), a NAND partition through its read context into TMP_FILE_PT (a
// block's offset read, or a whole image's from the start when offset is
// -1). false when the partition cannot be read that far (the caller logs).
bool find_old_image(const char* partition, int32_t size, int32_t offset, old_image& at);

inline constexpr int SAVEFILE_CHECK = 0;    // a complete save file with the new image exists
inline constexpr int SAVEFILE_RESUME = 1;   // the partition holds neither image: finish from the save file
inline constexpr int SAVEFILE_PATCH = 2;    // the partition holds the old image: patch and write

// Stage dst_patch_diff, image half. 0, also without a script; -1 on failure.
int patch_diff_partition();
// A/B: patch the old image into TMP_FILE_NEW and write it to target. 0 or -1.
int ab_patch_file(const char* target, const char* patch, const char* md5new, const old_image& old = {});
// NR: produce, write and verify the new image through SAVEFILE. 0 or -1.
// keep: a check-only run's SAVEFILE_CHECK, which removes no save file.
// old: the image the patch starts from (SAVEFILE_PATCH).
int process_savefile(const char* partition, const char* patch, const char* md5new, int flag, bool keep = false,
                     const old_image& old = {});

// The save-file steps that images and blocks share; messages go under func.
// Whether SAVEFILE holds the image of md5new: 1 yes, 0 no (a save file of
// anything else is removed unless keep), -1 when it cannot be digested.
int savefile_is_new(const char* func, const char* md5new, bool keep = false);
// Patches the old image into TMP_FILE_NEW and requires the new digest, taken
// as it is written, before anything is written from it. 0 or -1.
int patch_to_new(const char* func, const char* patch, const char* md5new, const old_image& old = {});
// The same for a run that must change nothing: TMP_FILE_NEW is removed.
int prove_patch(const char* func, const char* patch, const char* md5new, const old_image& old = {});
// Patches old_file into a new SAVEFILE and requires the new digest; a wrong
// or unfinished result is removed, since it can never finish anything. 0 or -1.
int patch_to_savefile(const char* func, const old_image& old, const char* patch, const char* md5new);

// One "patchfile" line of the image-diff script.
struct image_diff_line {
    std::string keyword;    // up to 31 characters
    std::string partition;  // logical name, up to 31 characters
    int32_t oldsize = 0;
    std::string md5old;  // up to 32 characters
    int32_t newsize = 0;
    std::string md5new;
};

// What the partitions of an image-diff line hold, found by the steps the
// check and the patch stage share. Unless new, the image the patch starts
// from is where old says: an eMMC partition is read where it lies, a NAND one
// is copied to TMP_FILE_PT (NR: cut to the old size; A/B: the running slot).
enum class image_state { failed, is_new, is_old, neither };
struct image_probe {
    image_state state = image_state::failed;
    char target[SCRIPT_NAME_SIZE] = {};  // the partition written
    char source[SCRIPT_NAME_SIZE] = {};  // A/B: the running slot's copy
    old_image old;                       // where the patch's old image lies
    std::string read[2];                 // the eMMC nodes or NAND partitions read
};
// Logs under func in the check's words (check) or the patch stage's. What
// the check found is taken over by the patch stage while no write began on
// the partitions it read since.
image_probe probe_image_diff(const char* func, bool check, const image_diff_line& l);

// Reads one line of the image-diff script (its carriage return removed).
// 1: a "patchfile" line in out; 0: a line to skip; -1: a line that does not
// fit, logged under func with the script and line.
int parse_image_diff_line(const char* func, const script_file& s, std::string& line, image_diff_line& out);
