#include "storage/emmc.h"
#include "storage/storage.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/file_util.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPiece = 4096;
constexpr size_t kLineSize = 256;
constexpr size_t kSysfsPathSize = 256;
// The 4096-byte pieces are what the code sees; the stream underneath moves
// far larger blocks, which is what keeps a partition-sized copy near the
// speed of dd.
constexpr size_t kStreamBuffer = 64 * 1024;
constexpr const char* kDevPrefix = "/dev/";
constexpr const char* kRelPrefix = "../../../";

// Helpers report under the name of the operation they work for.
#define LOG_AS(func, ...) log_at(func, __LINE__, __VA_ARGS__)

// A stream and the buffer it was given; the stream is declared last so that
// it is closed before its buffer goes away.
struct Stream {
    std::unique_ptr<char[]> buf;
    FilePtr fp;
    explicit operator bool() const { return fp != nullptr; }
    FILE* get() const { return fp.get(); }
};

Stream open_stream(const char* path, const char* mode) {
    Stream s;
    s.fp.reset(plat_fopen(path, mode));
    if (s.fp) {
        s.buf = std::make_unique<char[]>(kStreamBuffer);
        // Without the larger buffer the stream still works, only slower.
        if (std::setvbuf(s.fp.get(), s.buf.get(), _IOFBF, kStreamBuffer) != 0) s.buf.reset();
    }
    return s;
}

// The first two words of a listing line, when both fit the table's fields.
// A word that does not fit rejects the line: a cut name could match the
// wrong partition and a cut target would name the wrong node.
enum class LineParse { ok, empty, too_long };

LineParse parse_listing_line(const char* line, mmcblk_entry& entry, std::string& first_word) {
    const char* words[2];
    size_t lens[2];
    int found = 0;
    const char* p = line;
    while (found < 2) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
        if (!*p) break;
        const char* start = p;
        while (*p && !(*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')) ++p;
        words[found] = start;
        lens[found] = static_cast<size_t>(p - start);
        ++found;
    }
    if (found < 2) return LineParse::empty;
    first_word.assign(words[0], lens[0]);
    if (lens[0] >= MMC_NAME_SIZE || lens[1] >= MMC_NAME_SIZE) return LineParse::too_long;
    std::memcpy(entry.name, words[0], lens[0]);
    entry.name[lens[0]] = '\0';
    std::memcpy(entry.target, words[1], lens[1]);
    entry.target[lens[1]] = '\0';
    return LineParse::ok;
}

std::string first_word_of(const char* line) {
    line += std::strspn(line, " \t");
    return std::string(line, std::strcspn(line, " \t"));
}

// Reads one listing line into line (kLineSize bytes) without its newline.
// A line too long for the buffer is read to its end and reported as cut.
bool read_listing_line(FILE* pipe, char* line, bool& cut) {
    if (!std::fgets(line, kLineSize, pipe)) return false;
    size_t len = std::strlen(line);
    cut = false;
    if (len > 0 && line[len - 1] == '\n') {
        line[len - 1] = '\0';
    } else if (len == kLineSize - 1) {
        int c;
        while ((c = std::fgetc(pipe)) != EOF && c != '\n') cut = true;
    }
    return true;
}

// Fills the table from the by-name listing. When the line of the requested
// name itself had to be rejected or lay beyond the table, says so through
// exact_rejected: a prefix match must not stand in for it.
void build_mmcdev_table(mmcdev_table& table, const char* partition, bool& exact_rejected) {
    exact_rejected = false;
    auto cmd = make_command(CMD_BUF_SIZE, "ls -l %s | awk '{print $9,$11}'", {MMC_BYNAME_DIR});
    if (!cmd) {
        LOG_AS("lookup_mmcblk", "[%d] command too long: ls -l %s", __LINE__, MMC_BYNAME_DIR);
        return;
    }
    PipePtr pipe{plat_popen(cmd->c_str())};
    if (!pipe) return;
    char line[kLineSize] = {};
    bool cut = false;
    bool full_logged = false;
    std::string first;
    while (read_listing_line(pipe.get(), line, cut)) {
        if (table.count >= MMC_MAX_ENTRIES) {
            if (!full_logged)
                LOG_AS("lookup_mmcblk", "[%d] more than %d partitions listed, the rest is ignored", __LINE__,
                       MMC_MAX_ENTRIES);
            full_logged = true;
            if (first_word_of(line) == partition) exact_rejected = true;
            continue;
        }
        mmcblk_entry& entry = table.blk[table.count];
        LineParse parsed = cut ? LineParse::too_long : parse_listing_line(line, entry, first);
        if (parsed == LineParse::too_long) {
            if (cut) first = first_word_of(line);
            LOG_AS("lookup_mmcblk", "[%d] listing line %d too long, skipped: %.64s", __LINE__, table.count, line);
            if (first == partition) exact_rejected = true;
        }
        ++table.count;
        std::memset(line, 0, sizeof line);
    }
    close_pipe(pipe);
}

int find_entry(const mmcdev_table& table, const char* partition) {
    for (int i = 0; i < table.count; ++i)
        if (std::strcmp(table.blk[i].name, partition) == 0) return i;
    size_t len = std::strlen(partition);
    for (int i = 0; i < table.count; ++i)
        if (table.blk[i].name[0] && std::strncmp(table.blk[i].name, partition, len) == 0) return i;
    return -1;
}

// left = size modulo unit, with the two special units of an unknown (-1) and
// an empty (0) partition.
int64_t padding_left(int64_t file_size, int64_t unit) {
    if (unit == -1) return 0;
    if (unit == 0) return file_size;
    return file_size % unit;
}

// Copies the whole file to the device stream. false after a failed write
// (logged) or an unreadable file.
bool copy_file_to_device(FILE* src, FILE* dev, int32_t file_size, const char* file, const char* func) {
    unsigned char buf[kPiece];
    int64_t total = 0;
    bool ok = true;
    for (;;) {
        size_t n = std::fread(buf, 1, kPiece, src);
        if (n == 0) break;
        size_t w = std::fwrite(buf, 1, n, dev);
        if (w < n) {
            LOG_AS(func, "[%d] fwrite error, %s", __LINE__, std::strerror(errno));
            ok = false;
            break;
        }
        total += static_cast<int64_t>(w);
    }
    if (ok && std::ferror(src)) {
        LOG_AS(func, "[%d] fread error on %s, %s", __LINE__, file, std::strerror(errno));
        ok = false;
    }
    LOG_AS(func, "write size: %d/%d", static_cast<int32_t>(total), file_size);
    return ok;
}

bool write_padding(FILE* dev, int64_t count, const char* func) {
    unsigned char buf[kPiece];
    std::memset(buf, 0xFF, sizeof buf);
    while (count > 0) {
        size_t piece = count < static_cast<int64_t>(kPiece) ? static_cast<size_t>(count) : kPiece;
        size_t w = std::fwrite(buf, 1, piece, dev);
        if (w < piece) {
            LOG_AS(func, "%s[%d] fwrite failed, %d/%d", func, __LINE__, static_cast<int>(w), static_cast<int>(piece));
            return false;
        }
        count -= static_cast<int64_t>(piece);
    }
    return true;
}

// The stream buffer may still hold the tail of the write: a device that
// refuses it (a file larger than the partition) only shows here.
bool finish_device(Stream& dev, const char* func) {
    bool ok = true;
    if (plat_fsync(dev.get()) != 0) {
        LOG_AS(func, "%s[%d] fsync failed, %s", func, __LINE__, std::strerror(errno));
        ok = false;
    }
    if (close_file(dev.fp) != 0) {
        LOG_AS(func, "%s[%d] fclose failed, %s", func, __LINE__, std::strerror(errno));
        ok = false;
    }
    return ok;
}

// Pads after the copy (when it succeeded) and commits the device. 0 or -1.
// room: the bytes after the file up to the partition's end (-1: unknown);
// past the end there is nothing to clear, and a partition whose size is not
// a whole number of units would refuse the write there.
int pad_and_finish(Stream& dev, bool ok, int32_t file_size, int64_t unit, int64_t room, const char* func) {
    if (ok) {
        int64_t left = padding_left(file_size, unit);
        LOG_AS(func, "left: %d", static_cast<int32_t>(left));
        int64_t pad = left > 0 ? unit - left : 0;
        if (room >= 0 && pad > room) pad = room;
        if (pad > 0 && !write_padding(dev.get(), pad, func)) ok = false;
    }
    if (!finish_device(dev, func)) ok = false;
    return ok ? 0 : -1;
}

int check_device(const char* partition, const char* file, int32_t offset, bool from_offset, const char* func) {
    LOG_AS(func, "%s Entry, partition: %s, file: %s", func, partition, file);
    char dev_path[MMC_DEV_PATH_SIZE] = {};
    if (lookup_mmcblk(partition, dev_path) != 0) return -1;
    Stream dev = open_stream(dev_path, "r");
    if (!dev) {
        LOG_AS(func, "%s[%d] open error", func, __LINE__);
        return -1;
    }
    if (from_offset && fseeko(dev.get(), offset, SEEK_SET) != 0) {
        std::perror("fseek");
        return -1;
    }
    Stream src = open_stream(file, "r");
    if (!src) {
        if (from_offset) LOG_AS(func, "%s[%d] open error", func, __LINE__);
        else LOG_AS(func, "%s[%d] open", func, __LINE__);
        return -1;
    }
    unsigned char want[kPiece];
    unsigned char got[kPiece];
    int64_t total = 0;
    int result = 0;
    for (;;) {
        size_t n = std::fread(want, 1, kPiece, src.get());
        if (n == 0) {
            // A file that cannot be read to its end proves nothing.
            if (std::ferror(src.get())) {
                LOG_AS(func, "%s[%d] read file error, %s", func, __LINE__, std::strerror(errno));
                result = -1;
            }
            break;
        }
        if (std::fread(got, 1, n, dev.get()) < n) {
            LOG_AS(func, "%s[%d] read dev error", func, __LINE__);
            result = -1;
            break;
        }
        if (std::memcmp(want, got, n) != 0) {
            LOG_AS(func, "not same");
            result = 1;
            break;
        }
        total += static_cast<int64_t>(n);
    }
    LOG_AS(func, "read success total %d", static_cast<int32_t>(total));
    return result;
}

// Opens the device and the scratch file for a read; false (streams closed,
// message printed) when either cannot be opened.
bool open_read_pair(const char* dev_path, Stream& dev, Stream& out) {
    dev = open_stream(dev_path, "r");
    if (!dev) {
        std::perror("fpread");
        return false;
    }
    out = open_stream(TMP_FILE_PT, "w");
    if (!out) {
        std::perror("fpwrite");
        dev = Stream{};
        return false;
    }
    return true;
}

// A scratch file whose last bytes never left the stream is no copy.
int close_scratch(Stream& out, int result, const char* func) {
    if (close_file(out.fp) != 0) {
        LOG_AS(func, "%s[%d] fclose failed, %s", func, __LINE__, std::strerror(errno));
        return -1;
    }
    return result;
}

}  // namespace

int lookup_mmcblk(const char* partition, char* dev) {
    auto table = std::make_unique<mmcdev_table>();  // value-initialised: cleared
    bool exact_rejected = false;
    build_mmcdev_table(*table, partition, exact_rejected);
    if (exact_rejected) {
        LOGF("[%d] listing of partition %s does not fit, not taken", __LINE__, partition);
        return -1;
    }
    int i = find_entry(*table, partition);
    if (i < 0) {
        LOGF("not found partition %s", partition);
        return -1;
    }
    const mmcblk_entry& entry = table->blk[i];
    LOGF("mmcdev.blk[%d].name:%s ,partition:%s", i, entry.name, partition);
    // The table's fields are shorter than the device path buffer, so both
    // forms below always fit it.
    if (std::strncmp(entry.target, kDevPrefix, std::strlen(kDevPrefix)) == 0) {
        std::snprintf(dev, MMC_DEV_PATH_SIZE, "%s", entry.target);
        return 0;
    }
    const char* rel = std::strstr(entry.target, kRelPrefix);
    if (!rel) {
        LOGF("strstr not found partition %s", partition);
        return -1;
    }
    std::snprintf(dev, MMC_DEV_PATH_SIZE, "/dev/%s", rel + std::strlen(kRelPrefix));
    LOGF("dev before: %s, dev after: %s", entry.target, dev);
    return 0;
}

int mmc_partition_node(const char* partition, char* dev, int64_t size) {
    if (lookup_mmcblk(partition, dev) != 0) return -1;
    int64_t have = emmc_partition_size_get(dev);
    if (have < size) {
        LOGF("partition[%s] holds %lld bytes, %lld wanted", partition, static_cast<long long>(have),
             static_cast<long long>(size));
        return -1;
    }
    return 0;
}

int64_t emmc_partition_size_get(const char* dev) {
    size_t prefix = std::strlen(kDevPrefix);
    if (std::strncmp(dev, kDevPrefix, prefix) != 0) {
        LOGF("Invalid partition name: %s", dev);
        return -1;
    }
    char path[kSysfsPathSize];
    int n = std::snprintf(path, sizeof path, "/sys/block/mmcblk0/%s/size", dev + prefix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        LOGF("[%d] sysfs path too long for %s", __LINE__, dev);
        return -1;
    }
    FilePtr fp{plat_fopen(path, "r")};
    if (!fp) {
        LOGF("Failed to open %s", path);
        return -1;
    }
    long long sectors = 0;
    if (std::fscanf(fp.get(), "%lld", &sectors) != 1 || sectors < 0 || sectors > INT64_MAX / 512) {
        LOGF("Failed to read size from %s", path);
        return -1;
    }
    fp.reset();
    long long size = sectors * 512;
    LOGF("Partition: %s, Size: %lld bytes (%lld sectors)", dev, size, sectors);
    return size;
}

namespace {

// Both writes: the file's bytes from offset (a whole write starts at 0 with
// the partition's own padding unit), then 0xFF up to the next unit.
int write_to_device(const char* func, const char* partition, const char* file, int32_t offset, bool whole) {
    char dev_path[MMC_DEV_PATH_SIZE] = {};
    if (lookup_mmcblk(partition, dev_path) != 0) return -1;
    note_partition_write(dev_path);  // by node: two names may lead to one
    int64_t size = emmc_partition_size_get(dev_path);
    int64_t erase_size = MMC_ERASE_UNIT;
    if (whole) {
        erase_size = size < 0 ? -1 : (size < MMC_ERASE_UNIT ? size : MMC_ERASE_UNIT);
        log_at(func, __LINE__, "%s[%d] erase_size :%lld", func, __LINE__, static_cast<long long>(erase_size));
    }
    int32_t file_size = get_file_size(file);
    // A write that runs off the end fails only after the old content is
    // gone: refuse it before the first byte.
    if (size >= 0 && static_cast<int64_t>(offset) + file_size > size) {
        log_at(func, __LINE__, "Error, %s (%d bytes) at offset %d is larger than partition[%s] (%lld bytes)", file,
               file_size, offset, partition, static_cast<long long>(size));
        return -1;
    }
    // "r+": a node that is missing must fail here, not turn into a new file.
    Stream dev = open_stream(dev_path, "r+");
    if (!dev) {
        log_at(func, __LINE__, "%s[%d] open error", func, __LINE__);
        return -1;
    }
    if (!whole) {
        if (fseeko(dev.get(), offset, SEEK_SET) != 0) {
            std::perror("fseek");
            return -1;
        }
        log_at(func, __LINE__, "%s[%d] open success", file, __LINE__);
    }
    Stream src = open_stream(file, "r");
    if (!src) {
        log_at(func, __LINE__, "%s[%d] open error", func, __LINE__);
        return -1;
    }
    bool ok = copy_file_to_device(src.get(), dev.get(), file_size, file, func);
    src = Stream{};
    return pad_and_finish(dev, ok, file_size, erase_size, size < 0 ? -1 : size - offset - file_size, func);
}

}  // namespace

int mmc_write_file_to_partition(const char* partition, const char* file) {
    return write_to_device(__func__, partition, file, 0, true);
}

int mmc_write_file_from_offset_to_partition(const char* partition, const char* file, int32_t offset) {
    return write_to_device(__func__, partition, file, offset, false);
}

int mmc_check_partition_with_file(const char* partition, const char* file) {
    return check_device(partition, file, 0, false, __func__);
}

int mmc_check_partition_with_file_from_offset(const char* partition, const char* file, int32_t offset) {
    return check_device(partition, file, offset, true, __func__);
}

int mmc_read_partition_to_file(const char* partition, int32_t size) {
    LOGF("%s Entry", __func__);
    char dev_path[MMC_DEV_PATH_SIZE] = {};
    if (lookup_mmcblk(partition, dev_path) != 0) return -1;
    LOGF("dev: %s", dev_path);
    Stream dev, out;
    if (!open_read_pair(dev_path, dev, out)) return -1;
    unsigned char buf[kPiece];
    int result = 0;
    while (size > 0) {
        size_t piece = size < static_cast<int32_t>(kPiece) ? static_cast<size_t>(size) : kPiece;
        size_t r = std::fread(buf, 1, piece, dev.get());
        if (r < piece) {
            LOGF("%s[%d] fread failed, %d/%d", __func__, __LINE__, static_cast<int>(r), static_cast<int>(piece));
            result = -1;
            break;
        }
        size_t w = std::fwrite(buf, 1, piece, out.get());
        if (w < piece) {
            LOGF("%s[%d] fwrite failed, %d/%d", __func__, __LINE__, static_cast<int>(w), static_cast<int>(piece));
            result = -1;
            break;
        }
        size -= static_cast<int32_t>(w);
    }
    return close_scratch(out, result, __func__);
}

int mmc_read_partition_from_offset_to_file(const char* partition, int32_t size, int32_t offset) {
    LOGF("%s Entry", __func__);
    char dev_path[MMC_DEV_PATH_SIZE] = {};
    if (lookup_mmcblk(partition, dev_path) != 0) return -1;
    LOGF("dev: %s", dev_path);
    Stream dev, out;
    if (!open_read_pair(dev_path, dev, out)) return -1;
    if (fseeko(dev.get(), offset, SEEK_SET) != 0) {
        std::perror("fseek");
        return -1;
    }
    unsigned char buf[kPiece];
    int result = 0;
    while (size >= 1) {
        size_t piece = size < static_cast<int32_t>(kPiece) ? static_cast<size_t>(size) : kPiece;
        size_t r = std::fread(buf, 1, piece, dev.get());
        if (r == 0) {
            LOGF("%s[%d] fread failed, ret: %d", __func__, __LINE__, 0);
            result = -1;
            break;
        }
        size_t w = std::fwrite(buf, 1, r, out.get());
        if (w == 0) {
            LOGF("%s[%d] fwrite failed, ret: %d", __func__, __LINE__, 0);
            result = -1;
            break;
        }
        size -= static_cast<int32_t>(w);
    }
    return close_scratch(out, result, __func__);
}
