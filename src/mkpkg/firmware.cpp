#include "mkpkg/firmware.h"

#include <set>
#include <toml++/toml.h>

namespace {

// Names end up in white-space separated map lines and comma separated
// script lines, and in the agent's 32-byte buffers.
constexpr size_t NAME_MAX_CHARS = 31;

struct reader {
    std::string file;
    std::string error;

    bool fail(const std::string& where, const std::string& field, const std::string& what) {
        error = file + ": " + where + (field.empty() ? "" : ": field \"" + field + "\"") + ": " + what;
        return false;
    }

    bool unknown_keys(const toml::table& t, const std::string& where, std::initializer_list<const char*> known) {
        for (const auto& [key, value] : t) {
            bool ok = false;
            for (const char* k : known) ok |= key.str() == k;
            if (!ok) return fail(where, std::string(key.str()), "unknown field");
        }
        return true;
    }

    // A string field; optional ones may be absent (out untouched).
    bool text(const toml::table& t, const std::string& where, const char* field, bool required, std::string& out) {
        const toml::node* n = t.get(field);
        if (!n) return required ? fail(where, field, "missing") : true;
        auto v = n->value<std::string>();
        if (!n->is_string() || !v) return fail(where, field, "must be a string");
        out = *v;
        return true;
    }

    bool choice(const toml::table& t, const std::string& where, const char* field,
                std::initializer_list<const char*> allowed, std::string& out) {
        if (!text(t, where, field, true, out)) return false;
        std::string list;
        for (const char* a : allowed) {
            if (out == a) return true;
            list += std::string(list.empty() ? "" : " or ") + "\"" + a + "\"";
        }
        return fail(where, field, "must be " + list + ", not \"" + out + "\"");
    }

    bool name(const std::string& where, const char* field, const std::string& v, bool file_name) {
        if (v.empty()) return fail(where, field, "must not be empty");
        if (v.size() > NAME_MAX_CHARS)
            return fail(where, field, "\"" + v + "\" is longer than " + std::to_string(NAME_MAX_CHARS) +
                                          " characters, which the agent's buffers hold");
        for (char c : v) {
            if (c == ',' || static_cast<unsigned char>(c) <= ' ' || c == 0x7f || (file_name && c == '/'))
                return fail(where, field, "\"" + v + "\" holds a character the package's scripts and map cannot carry"
                                          " (white space, a comma, a control character" +
                                              std::string(file_name ? " or a slash" : "") + ")");
        }
        if (v[0] == '#') return fail(where, field, "\"" + v + "\" begins with '#', which makes its map line a comment");
        if (file_name && (v == "." || v == ".."))
            return fail(where, field, "\"" + v + "\" is not a file name");
        return true;
    }
};

}  // namespace

const char* update_name(update_kind kind) {
    switch (kind) {
    case update_kind::full: return "full";
    case update_kind::diff: return "diff";
    case update_kind::block: return "block";
    }
    return "?";
}

std::optional<firmware_desc> read_firmware(const fs::path& toml_path, std::string& error) {
    reader r{toml_path.string(), {}};
    toml::table root;
    try {
        root = toml::parse_file(toml_path.string());
    } catch (const toml::parse_error& e) {
        std::error_code ec;
        if (!fs::exists(toml_path, ec)) error = r.file + ": missing (the new build describes its product there)";
        else
            error = r.file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return std::nullopt;
    }
    firmware_desc fw;
    auto failed = [&] {
        error = r.error;
        return std::nullopt;
    };
    if (!r.unknown_keys(root, "top level", {"device", "partition"})) return failed();

    const toml::table* dev = root["device"].as_table();
    if (!dev) {
        r.fail("[device]", "", root.contains("device") ? "must be a table" : "missing");
        return failed();
    }
    std::string v;
    if (!r.unknown_keys(*dev, "[device]", {"storage", "slots", "both_slots"}) ||
        !r.choice(*dev, "[device]", "storage", {"emmc", "nand"}, v))
        return failed();
    fw.nand = v == "nand";
    if (!r.choice(*dev, "[device]", "slots", {"ab", "nr"}, v)) return failed();
    fw.ab = v == "ab";
    if (const toml::node* b = dev->get("both_slots")) {
        if (!b->is_boolean()) {
            r.fail("[device]", "both_slots", "must be true or false");
            return failed();
        }
        fw.both_slots = *b->value<bool>();
        if (fw.both_slots && !fw.ab) {
            r.fail("[device]", "both_slots", "applies to slots = \"ab\" only");
            return failed();
        }
    }

    const toml::node* parts = root.get("partition");
    const toml::array* list = parts ? parts->as_array() : nullptr;
    if (parts && (!list || !list->is_array_of_tables())) {
        r.fail("[[partition]]", "", "must be an array of tables ([[partition]])");
        return failed();
    }
    std::set<std::string> names, images, devices;
    for (size_t i = 0; list && i < list->size(); ++i) {
        const toml::table& t = *(*list)[i].as_table();
        std::string where = "[[partition]] " + std::to_string(i + 1);
        partition_desc p;
        if (!r.text(t, where, "name", true, p.name) || !r.name(where, "name", p.name, false)) return failed();
        where += " (" + p.name + ")";
        if (!r.unknown_keys(t, where, {"name", "image", "nr", "a", "b", "update"}) ||
            !r.text(t, where, "image", true, p.image) || !r.name(where, "image", p.image, true) ||
            !r.text(t, where, "nr", !fw.ab, p.nr) || !r.text(t, where, "a", fw.ab, p.a) ||
            !r.text(t, where, "b", fw.ab, p.b) || !r.choice(t, where, "update", {"full", "diff", "block"}, v))
            return failed();
        p.update = v == "full" ? update_kind::full : v == "diff" ? update_kind::diff : update_kind::block;
        // An NR device looks some names up in the slot columns (the image
        // diff on eMMC reads slot B), so every column carries the NR name.
        if (!fw.ab) p.a = p.b = p.nr;
        else if (p.nr.empty()) p.nr = p.a;
        for (const char* field : {"nr", "a", "b"}) {
            const std::string& d = field[0] == 'n' ? p.nr : field[0] == 'a' ? p.a : p.b;
            if (!r.name(where, field, d, false)) return failed();
        }
        if (!names.insert(p.name).second) {
            r.fail(where, "name", "\"" + p.name + "\" is named by an earlier partition too");
            return failed();
        }
        if (!images.insert(p.image).second) {
            r.fail(where, "image", "\"" + p.image + "\" is the image of an earlier partition too");
            return failed();
        }
        for (const std::string& d : fw.ab ? std::vector<std::string>{p.a, p.b} : std::vector<std::string>{p.nr})
            if (!devices.insert(d).second) {
                r.fail(where, fw.ab ? (d == p.a ? "a" : "b") : "nr",
                       "device name \"" + d + "\" is used twice");
                return failed();
            }
        fw.partitions.push_back(std::move(p));
    }
    return fw;
}
