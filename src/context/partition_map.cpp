#include "context/partition_map.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "context/device.h"
#include "context/package.h"
#include "core/log.h"
#include "platform/platform.h"

guarded_list partition_image_map;

namespace {

constexpr int kFields = 5;

const partition_image_entry* find_entry(const char* pname) {
    for (guarded_list_node* n = guarded_list_first(&partition_image_map); n;
         n = guarded_list_next(&partition_image_map, n)) {
        const partition_image_entry* e = reinterpret_cast<partition_image_node*>(n)->entry;
        if (e && e->pname == pname) return e;
    }
    return nullptr;
}

int copy_out(const std::string& value, char* out, size_t out_size, const char* what, const char* pname) {
    if (out_size == 0) return -1;
    if (value.size() >= out_size) {
        out[0] = '\0';
        log_at("copy_out", __LINE__, "Error, %s of partition[%s] is %zu characters, at most %zu fit: %s", what,
               pname, value.size(), out_size - 1, value.c_str());
        return -1;
    }
    std::memcpy(out, value.c_str(), value.size() + 1);
    return 0;
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Splits a line into white-space separated fields; returns how many there
// were (up to max + 1, so that surplus fields can be noticed).
int split_fields(const char* line, std::string* fields, int max) {
    int n = 0;
    const char* p = line;
    while (*p) {
        while (*p && is_blank(static_cast<unsigned char>(*p))) ++p;
        if (!*p) break;
        const char* start = p;
        while (*p && !is_blank(static_cast<unsigned char>(*p))) ++p;
        if (n < max) fields[n] = std::string(start, static_cast<size_t>(p - start));
        ++n;
        if (n > max) break;
    }
    return n;
}

}  // namespace

int kelo_construct_partition_image_map_list() {
    FilePtr fp{plat_fopen(PARTITION_IMAGE_MAP_CFG.c_str(), "r")};
    if (!fp) {
        LOGF("fopen:%s", std::strerror(errno));
        return -1;
    }
    guarded_list_init(&partition_image_map);

    // Whole lines of any length: a fixed buffer would read the tail of a
    // long line (a comment too) as a line of its own.
    struct line_buffer {
        char* text = nullptr;
        size_t cap = 0;
        ~line_buffer() { std::free(text); }
    } buf;
    while (getline(&buf.text, &buf.cap, fp.get()) != -1) {
        char* line = buf.text;
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        if (line[0] == '#') continue;

        std::string f[kFields];
        int n = split_fields(line, f, kFields);
        if (n == 0) continue;
        if (n < kFields) {
            // A short line would leave names undefined for some system kind;
            // refuse the package rather than guess.
            LOGF("Error, map line has %d fields, %d needed: %s", n, kFields, line);
            return -1;
        }

        int mode = recovery_mode();
        bool has_recovery = f[0].find("recovery") != std::string::npos;
        bool keep = mode == -1 || (mode == 0 && has_recovery) || (mode == 1 && !has_recovery);
        if (!keep) {
            LOGF("skip pname[%s] imagename[%s] nr_pname[%s] a_pnam[%s] b_pname[%s]", f[0].c_str(), f[1].c_str(),
                 f[2].c_str(), f[3].c_str(), f[4].c_str());
            continue;
        }
        LOGF("pname[%s] imagename[%s] nr_pname[%s] a_pnam[%s] b_pname[%s]", f[0].c_str(), f[1].c_str(),
             f[2].c_str(), f[3].c_str(), f[4].c_str());

        // The map lives until the process ends; nodes and entries are never freed.
        auto* node = new (std::nothrow) partition_image_node{};
        if (!node) {
            LOGF("ERROR, malloc param is null");
            return -1;
        }
        auto* entry = new (std::nothrow) partition_image_entry{f[0], f[1], f[2], f[3], f[4]};
        if (!entry) {
            delete node;
            LOGF("ERROR, element is null");
            return -1;
        }
        node->entry = entry;
        guarded_list_push_back(&partition_image_map, &node->link);
    }
    if (std::ferror(fp.get())) {
        LOGF("Error, reading %s failed", PARTITION_IMAGE_MAP_CFG.c_str());
        return -1;
    }
    LOGF("list size[%ld]", static_cast<long>(guarded_list_count(&partition_image_map)));
    return 0;
}

int kelo_get_imagename_by_partiton(const char* pname, char* out, size_t out_size) {
    const partition_image_entry* e = find_entry(pname);
    if (!e) return -1;
    if (copy_out(e->imagename, out, out_size, "imagename", pname) != 0) return -1;
    LOGF("Found imagename[%s] by partiton_name[%s]", out, pname);
    return 0;
}

int get_ab_pname(const char* pname, char* out, size_t out_size, int type) {
    const partition_image_entry* e = find_entry(pname);
    if (!e) return -1;
    const std::string* name = nullptr;
    switch (type) {
        case 2: name = &e->a_pname; break;
        case 3: name = &e->b_pname; break;
        case 1:
            if (current_slot == 0) name = &e->b_pname;
            else if (current_slot == 1) name = &e->a_pname;
            break;
        default:  // 0, and anything unknown, is the running slot
            if (current_slot == 0) name = &e->a_pname;
            else if (current_slot == 1) name = &e->b_pname;
            break;
    }
    if (!name) {
        LOGF("Error, can't get current slot");
        return -1;
    }
    return copy_out(*name, out, out_size, "slot name", pname);
}

int get_nr_pname(const char* pname, char* out, size_t out_size) {
    const partition_image_entry* e = find_entry(pname);
    if (!e) return -1;
    return copy_out(e->nr_pname, out, out_size, "nr_pname", pname);
}
