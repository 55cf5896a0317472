#include "mkpkg/package.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>

#include "mkpkg/bsdiff.h"
#include "mkpkg/rootfs.h"

namespace {

// The agent patches partitions in blocks of this size.
constexpr size_t BLOCK_SIZE = 20971520;

constexpr const char* VERSION_FILES[] = {
    "ABL_VERSION",          "XBL_VERSION",         "TZ_VERSION",         "AOP_VERSION",
    "HYP_VERSION",          "SEC_VERSION",         "APDP_VERSION",       "IPA_FWS_VERSION",
    "XBL_RAMDUMP_VERSION",  "MULTI_IMAGE_VERSION", "MULTI_IMAGE_QTI_VERSION",
    "PARTITION_COMPLETE_P4K_B256K_VERSION"};

// The agent's version gates for full images, tried in this order on the
// device name: it skips an image whose package version equals the version
// the running firmware reports under key.
struct version_gate {
    std::initializer_list<const char*> prefixes;
    const char* key;
    const char* file;
};
const version_gate GATES[] = {
    {{"abl"}, "ABL_VERSION", "ABL_VERSION"},
    {{"xbl_config", "sbl", "uefi"}, "XBL_VERSION", "XBL_VERSION"},
    {{"ipa_fw"}, "IF_V", "IPA_FWS_VERSION"},
    {{"tz"}, "TZ_V", "TZ_VERSION"},
    {{"apdp"}, "APDP_V", "APDP_VERSION"},
    {{"xbl_ramdump"}, "XR_V", "XBL_RAMDUMP_VERSION"},
    {{"multi_image_qti"}, "MIQ_V", "MULTI_IMAGE_QTI_VERSION"},
    {{"multi_image"}, "MI_V", "MULTI_IMAGE_VERSION"},
    {{"aop"}, "AOP_V", "AOP_VERSION"},
    {{"qhee"}, "HYP_V", "HYP_VERSION"},
    {{"sec"}, "SEC_V", "SEC_VERSION"},
    {{"mibib"}, "PCPB_V", "PARTITION_COMPLETE_P4K_B256K_VERSION"},
};

const version_gate* gate_of(const std::string& device) {
    // These are released from UBI and written, never gated.
    if (device.starts_with("system") || device.starts_with("modem")) return nullptr;
    for (const auto& g : GATES)
        for (const char* p : g.prefixes)
            if (device.starts_with(p) && !(g.file == std::string("TZ_VERSION") &&
                                           device.find("tz_devcfg") != std::string::npos))
                return &g;
    return nullptr;
}

// The value of key in a version file as the agent reads it: the first line
// holding key, the word after its first '='. Nothing when there is none.
std::optional<std::string> version_value(const fs::path& file, const char* key) {
    bytes data;
    std::string error;
    if (!read_file(file, data, error)) return std::nullopt;
    std::string text(data.begin(), data.end());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.find(key) != std::string::npos) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) return std::nullopt;
            size_t b = line.find_first_not_of(" \t\r\v\f", eq + 1);
            if (b == std::string::npos) return std::string();
            return line.substr(b, line.find_first_of(" \t\r\v\f", b) - b);
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// One file of image/ still to be made: a patch (or, for an A/B block beyond
// the old image, the new block itself).
struct image_job {
    std::string label;  // for progress and errors
    std::string file;   // name under image/
    std::span<const uint8_t> old, neu;
    bool raw = false;
    std::string content, error;
};

struct partition_data {
    bytes old, neu;
    bool has_old = false;
};

bool is_empty_dir(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) && fs::is_empty(p, ec);
}

uint64_t tree_bytes(const fs::path& dir) {
    uint64_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec) && !it->is_symlink(ec)) n += it->file_size(ec);
    return n;
}

}  // namespace

bool make_package(const firmware_desc& fw, const fs::path& old_dir, const fs::path& new_dir, const fs::path& out,
                  package_summary& summary, std::vector<std::string>& errors, const signing_key* key) {
    std::error_code ec;
    for (const fs::path& d : {old_dir, new_dir})
        if (!fs::is_directory(d, ec)) {
            errors.push_back(d.string() + ": not a directory");
            return false;
        }
    if (fs::exists(fs::symlink_status(out, ec)) && !is_empty_dir(out)) {
        errors.push_back(out.string() + ": exists and is not an empty directory (the package is never written over "
                                        "other files)");
        return false;
    }

    // Read every image first, so that every missing one is named at once.
    std::vector<partition_data> data(fw.partitions.size());
    for (size_t i = 0; i < fw.partitions.size(); ++i) {
        const partition_desc& p = fw.partitions[i];
        partition_data& d = data[i];
        std::string error;
        fs::path np = new_dir / "images" / p.image, op = old_dir / "images" / p.image;
        if (!read_file(np, d.neu, error)) errors.push_back(error + " (image of partition \"" + p.name + "\")");
        else if (d.neu.empty())
            errors.push_back(np.string() + ": empty; the agent writes and patches images of at least one byte");
        else if (d.neu.size() > INT32_MAX)
            errors.push_back(np.string() + ": 2 GiB or more; the agent's sizes are 32-bit");
        d.has_old = fs::exists(op, ec);
        if (d.has_old && !read_file(op, d.old, error)) {
            errors.push_back(error);
        } else if (p.update != update_kind::full && !d.has_old) {
            errors.push_back(op.string() + ": missing; partition \"" + p.name + "\" (update = \"" +
                             update_name(p.update) + "\") is patched from it");
        } else if (p.update == update_kind::diff && d.old.empty()) {
            errors.push_back(op.string() + ": empty; an image diff needs an old image of at least one byte (use "
                                           "update = \"full\" for partition \"" + p.name + "\")");
        } else if (d.old.size() > INT32_MAX) {
            errors.push_back(op.string() + ": 2 GiB or more; the agent's sizes are 32-bit");
        }
    }
    if (!errors.empty()) return false;

    // The package is made beside out and moved there whole at the end.
    fs::path parent = out.has_parent_path() ? out.parent_path() : fs::path(".");
    work_dir cleanup;
    std::string error;
    if (!make_work_dir(parent / ("." + out.filename().string() + ".partial-XXXXXX"), cleanup, error)) {
        errors.push_back(error);
        return false;
    }
    const fs::path& work = cleanup.path;
    ::chmod(work.c_str(), 0755);

    std::vector<std::string> full, diff, block, map;
    std::vector<image_job> jobs;
    std::list<bytes> ff;  // erased blocks that NR block patches start from; stable addresses
    std::vector<std::pair<std::string, const bytes*>> whole;  // full images to copy
    for (size_t i = 0; i < fw.partitions.size(); ++i) {
        const partition_desc& p = fw.partitions[i];
        const partition_data& d = data[i];
        map.push_back(p.name + " " + p.image + " " + p.nr + " " + p.a + " " + p.b);
        const char* kind = update_name(p.update);
        // On A/B the slot written may hold any older firmware: every
        // partition and block is carried, and the agent passes over what
        // that slot already holds.
        bool unchanged = d.has_old && same(d.old, d.neu);
        if (unchanged && !fw.ab) {
            ++summary.left_out[kind];
            progress("%s: unchanged, left out", p.name.c_str());
            continue;
        }
        ++summary.carried[kind];
        std::string nsize = std::to_string(d.neu.size()), nmd5 = md5_hex(d.neu);
        if (p.update == update_kind::full) {
            full.push_back("addfile," + p.name + "," + nsize + "," + nmd5);
            whole.emplace_back(p.image, &d.neu);
            progress("%s: full image, %s", p.name.c_str(), size_text(d.neu.size()).c_str());
        } else if (p.update == update_kind::diff) {
            diff.push_back("patchfile," + p.name + "," + std::to_string(d.old.size()) + "," + md5_hex(d.old) + "," +
                           nsize + "," + nmd5);
            jobs.push_back({p.name + " (diff)", p.image + ".p", d.old, d.neu, false, {}, {}});
        } else {
            size_t count = (d.neu.size() + BLOCK_SIZE - 1) / BLOCK_SIZE, first_block = block.size(), beyond = 0;
            for (size_t n = 0; n < count; ++n) {
                size_t off = n * BLOCK_SIZE;
                std::span<const uint8_t> o = off < d.old.size()
                                                 ? std::span<const uint8_t>(d.old).subspan(off, std::min(BLOCK_SIZE, d.old.size() - off))
                                                 : std::span<const uint8_t>();
                std::span<const uint8_t> w = std::span<const uint8_t>(d.neu).subspan(off, std::min(BLOCK_SIZE, d.neu.size() - off));
                if (!fw.ab && same(o, w)) continue;
                // Beyond the old image the agent has nothing to patch from.
                // On A/B it writes the block file as it stands. On NR it
                // cannot take a block from nothing: the block is patched
                // from the bytes a whole-image write or an erase leaves
                // there, and its line goes first, so that a module holding
                // other bytes refuses it before any block of the old image
                // changes.
                bool raw = fw.ab && o.empty(), erased = !fw.ab && o.empty();
                if (erased) {
                    ff.emplace_back(w.size(), 0xFF);
                    o = ff.back();
                    ++beyond;
                }
                std::string line = "patchblock," + p.name + "," + std::to_string(off) + "," +
                                   std::to_string(o.size()) + "," + md5_hex(o) + "," + std::to_string(w.size()) + "," +
                                   md5_hex(w);
                block.insert(erased ? block.begin() + static_cast<long>(first_block) : block.end(), line);
                first_block += erased;
                jobs.push_back({p.name + " block " + std::to_string(n + 1) + "/" + std::to_string(count),
                                p.image + "_chunk_" + std::to_string(n) + ".p", o, w, raw, {}, {}});
                ++summary.blocks;
            }
            if (beyond)
                summary.warnings.push_back("partition \"" + p.name + "\": " + std::to_string(beyond) +
                                           " block(s) beyond the old image are patched from erased bytes (0xFF); a "
                                           "module whose partition holds other bytes there refuses the package "
                                           "before its old image changes");
        }
    }

    // Patches on every core; each is proven with the agent's own patcher
    // before it can reach the package.
    std::mutex m;
    size_t done = 0;
    parallel_for(jobs.size(), [&](size_t i) {
        image_job& j = jobs[i];
        if (j.raw) {
            j.content.assign(j.neu.begin(), j.neu.end());
        } else if (make_patch(j.old, j.neu, j.content, j.error) == 0 &&
                   !verify_patch(j.old, j.neu, j.content, j.error)) {
            j.error = "the patch made for " + j.label + " failed its proof: " + j.error;
        }
        std::lock_guard lock(m);
        ++done;
        progress("[%zu/%zu] %s: %s -> %s", done, jobs.size(), j.label.c_str(), size_text(j.neu.size()).c_str(),
                 j.error.empty() ? size_text(j.content.size()).c_str() : "failed");
    });
    for (const auto& j : jobs)
        if (!j.error.empty()) errors.push_back(j.label + ": " + j.error);
    if (!errors.empty()) return false;

    auto put = [&](const fs::path& rel, std::span<const uint8_t> content) {
        if (!write_file(work / rel, content, 0644, error)) errors.push_back(error);
    };
    auto put_text = [&](const fs::path& rel, const std::vector<std::string>& lines) {
        if (lines.empty()) return;
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        put(rel, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    };
    fs::create_directories(work / "image", ec);
    ::chmod((work / "image").c_str(), 0755);
    for (const auto& [name, content] : whole) put(fs::path("image") / name, *content);
    for (const auto& j : jobs)
        put(fs::path("image") / j.file,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(j.content.data()), j.content.size()));
    put_text("partition_image_map.cfg", map);
    put_text("updater_script_image_full", full);
    put_text("updater_script_image_diff", diff);
    put_text("updater_script_block_diff", block);
    if (fw.both_slots) put("kelo_ab_need_upgrade_flag", {});

    // Version files, and what the agent's version gates will make of them.
    fs::path nv = new_dir / "versions", ov = old_dir / "versions";
    if (fs::exists(nv, ec)) {
        for (const auto& e : fs::directory_iterator(nv, ec)) {
            std::string name = e.path().filename().string();
            bool known = false;
            for (const char* v : VERSION_FILES) known |= name == v;
            bytes content;
            if (!known) errors.push_back(e.path().string() + ": not a version file the agent reads");
            else if (!read_file(e.path(), content, error)) errors.push_back(error);
            else put(name, content);
        }
    }
    for (size_t i = 0; i < fw.partitions.size(); ++i) {
        const partition_desc& p = fw.partitions[i];
        if (p.update != update_kind::full) continue;
        bool changed = !data[i].has_old || !same(data[i].old, data[i].neu);
        const version_gate* g = gate_of(fw.ab ? p.b : p.nr);
        if (!g || !changed) continue;
        std::string what = "image " + p.image + " (partition \"" + p.name + "\") changed";
        auto nvv = version_value(nv / g->file, g->key);
        if (!nvv) {
            summary.warnings.push_back(what + ", but the new build has no " + g->file + " holding " + g->key +
                                       ": the agent " +
                                       (g->key == std::string("ABL_VERSION") || g->key == std::string("XBL_VERSION")
                                            ? "writes it without comparing versions"
                                            : "skips it"));
        } else if (auto ovv = version_value(ov / g->file, g->key); ovv && *ovv == *nvv) {
            summary.warnings.push_back(what + ", but its version " + g->key + "=" + *nvv +
                                       " did not: the agent skips it on a device that runs the old firmware");
        }
    }

    // The root file system.
    fs::path orf = old_dir / "rootfs", nrf = new_dir / "rootfs";
    bool has_old_rootfs = fs::is_directory(orf, ec), has_new_rootfs = fs::is_directory(nrf, ec);
    if (has_new_rootfs && !has_old_rootfs) {
        errors.push_back(orf.string() + ": missing; the new build's rootfs/ can only be reached from the old one's");
    } else if (has_old_rootfs && !has_new_rootfs) {
        summary.warnings.push_back(nrf.string() + " missing: the package leaves the root file system as it is");
    } else if (has_new_rootfs) {
        std::vector<std::string> rerrors;
        if (!make_rootfs_update(orf, nrf, work, summary.file_commands, rerrors))
            for (auto& e : rerrors) errors.push_back(e);
        summary.new_bytes += tree_bytes(nrf);
    }
    if (!errors.empty()) return false;

    if (key && !sign_package(work, *key, error)) {
        errors.push_back(error);
        return false;
    }
    for (const auto& d : data) summary.new_bytes += d.neu.size();
    summary.package_bytes = tree_bytes(work);
    if (fs::exists(out, ec)) fs::remove(out, ec);  // an empty directory, checked above
    fs::rename(work, out, ec);
    if (ec) {
        errors.push_back(out.string() + ": " + ec.message());
        return false;
    }
    cleanup.keep = true;
    return true;
}

namespace {

struct zip_closer {
    zip_t* z;
    ~zip_closer() {
        if (z) zip_discard(z);
    }
};

}  // namespace

bool write_zip(const fs::path& dir, const fs::path& zip_path, std::string& error) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        entries.push_back(it->path().lexically_relative(dir));
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end());
    fs::remove(zip_path, ec);
    int zerr = 0;
    zip_closer z{zip_open(zip_path.c_str(), ZIP_CREATE | ZIP_EXCL, &zerr)};
    if (!z.z) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, zerr);
        error = zip_path.string() + ": " + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return false;
    }
    // A fixed time, given in local time so that the archive's DOS time
    // fields are the same whatever the time zone.
    std::tm tm{};
    tm.tm_year = 100;
    tm.tm_mday = 1;
    tm.tm_isdst = -1;
    std::time_t when = std::mktime(&tm);
    std::vector<bytes> contents;  // the buffers live until the archive is written
    contents.reserve(entries.size());
    for (const auto& rel : entries) {
        struct stat st;
        bytes content;
        if (!read_entry(dir / rel, st, content, error)) return false;
        zip_int64_t idx;
        std::string name = rel.generic_string();
        if (S_ISDIR(st.st_mode)) {
            idx = zip_dir_add(z.z, name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            contents.push_back(std::move(content));
            zip_source_t* src = zip_source_buffer(z.z, contents.back().data(), contents.back().size(), 0);
            idx = src ? zip_file_add(z.z, name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
            if (src && idx < 0) zip_source_free(src);
        }
        if (idx < 0 ||
            zip_file_set_external_attributes(z.z, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                             static_cast<zip_uint32_t>(st.st_mode & (S_IFMT | 07777)) << 16) != 0 ||
            zip_file_set_mtime(z.z, static_cast<zip_uint64_t>(idx), when, 0) != 0) {
            error = zip_path.string() + ": " + name + ": " + zip_strerror(z.z);
            return false;
        }
    }
    if (zip_close(z.z) != 0) {
        error = zip_path.string() + ": " + zip_strerror(z.z);
        return false;
    }
    z.z = nullptr;
    return true;
}
