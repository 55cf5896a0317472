// dfota-mkpkg: makes the package that brings a module from one firmware
// build to the next, and proves it on a simulated device before it ships.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mkpkg/bsdiff.h"
#include "mkpkg/check.h"
#include "mkpkg/firmware.h"
#include "mkpkg/package.h"
#include "mkpkg/sign.h"

namespace {

const char USAGE[] =
    "usage: dfota-mkpkg [-j N] [--sign SECRET-KEY] [--zip FILE] OLD NEW OUT\n"
    "       dfota-mkpkg --sign SECRET-KEY PACKAGE\n"
    "       dfota-mkpkg [-j N] --check OLD NEW OUT [--cuts N] [--sim DFOTA-SIM]\n"
    "       dfota-mkpkg --diff OLD-FILE NEW-FILE PATCH\n"
    "       dfota-mkpkg --keygen DIR\n"
    "\n"
    "OLD and NEW are firmware builds (images/, versions/, rootfs/; NEW also holds\n"
    "firmware.toml). The first form writes the unpacked package into OUT (and with\n"
    "--zip also as one archive); the second runs the agent with the package OUT on a\n"
    "simulated device built from OLD and compares the result with NEW, with --cuts N\n"
    "also after N power cuts spread over the run. --diff writes one BSDIFF40 patch,\n"
    "proven like those of a package. --keygen writes a key pair (DIR/dfota.key,\n"
    "DIR/dfota.pub); --sign adds a manifest and its signature to the package, or\n"
    "(re)signs the unpacked package directory PACKAGE in place. --check on a signed\n"
    "package runs a device that trusts the signer's key, unless OLD's rootfs holds\n"
    "etc/dfota/trusted.pub.\n"
    "-j N: threads (default: every core).\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "dfota-mkpkg: error: %s\n", message.c_str());
    return 1;
}

std::string counts(const std::map<std::string, int>& m, const std::string& empty) {
    std::string out;
    for (const auto& [k, v] : m)
        if (v) out += (out.empty() ? "" : ", ") + std::to_string(v) + " " + k;
    return out.empty() ? empty : out;
}

// The agent over a simulated device: named, given in the environment, or
// built beside this tool.
std::string find_sim(const std::string& given) {
    if (!given.empty()) return given;
    if (const char* e = std::getenv("DFOTA_SIM"); e && *e) return e;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : (self.parent_path() / "dfota-sim").string();
}

bool parse_count(const char* text, int& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end || errno || v < 0 || v > 100000) return false;
    out = static_cast<int>(v);
    return true;
}

// One patch outside a package, for files a release team handles itself.
int write_one_patch(const fs::path& old_path, const fs::path& new_path, const fs::path& patch_path) {
    bytes old, neu;
    std::string error, patch;
    if (!read_file(old_path, old, error) || !read_file(new_path, neu, error)) return fail(error);
    if (make_patch(old, neu, patch, error) != 0) return fail(new_path.string() + ": " + error);
    if (!verify_patch(old, neu, patch, error)) return fail(new_path.string() + ": " + error);
    std::span<const uint8_t> p(reinterpret_cast<const uint8_t*>(patch.data()), patch.size());
    if (!write_file(patch_path, p, 0644, error)) return fail(error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = false, diff = false;
    int cuts = 0;
    std::string zip, sim, sign, keygen;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--diff") {
            diff = true;
        } else if (a == "--zip" || a == "--cuts" || a == "--sim" || a == "-j" || a == "--sign" || a == "--keygen") {
            const char* v = value(a.c_str());
            if (!v) return fail(a + " needs a value\n" + USAGE);
            int n = 0;
            if (a == "--zip") zip = v;
            else if (a == "--sign") sign = v;
            else if (a == "--keygen") keygen = v;
            else if (a == "--sim") sim = v;
            else if (!parse_count(v, n) || (a == "-j" && n == 0))
                return fail(a + " takes a whole number" + (a == "-j" ? " from 1" : "") + ", not \"" + v + "\"");
            else if (a == "--cuts") cuts = n;
            else setenv("DFOTA_MKPKG_JOBS", v, 1);
        } else if (a.size() > 1 && a[0] == '-') {
            return fail("unknown option " + a + "\n" + USAGE);
        } else {
            args.push_back(a);
        }
    }
    if (!keygen.empty()) {
        if (!args.empty() || check || diff || !zip.empty() || !sign.empty()) return fail("--keygen DIR stands alone");
        std::string error;
        if (!make_key_pair(keygen, error)) return fail(error);
        std::printf("dfota-mkpkg: key pair written: %s (secret, mode 0600: keep it off the devices) and %s (for "
                    "/etc/dfota/trusted.pub)\n", (fs::path(keygen) / "dfota.key").c_str(),
                    (fs::path(keygen) / "dfota.pub").c_str());
        return 0;
    }
    if (!sign.empty() && args.size() == 1 && !check && !diff && zip.empty()) {
        // A package made on a build host, signed on the host that holds the key.
        std::string error;
        signing_key key;
        std::error_code ec;
        if (!fs::is_directory(args[0], ec)) return fail(args[0] + ": not a package directory");
        if (!read_secret_key(sign, key, error) || !sign_package(args[0], key, error)) return fail(error);
        std::printf("dfota-mkpkg: package %s signed\n", args[0].c_str());
        return 0;
    }
    if (args.size() != 3) return fail(std::string("expected OLD NEW OUT\n") + USAGE);
    if (!sign.empty() && (check || diff)) return fail("--sign goes with making a package");
    if (diff + check + !zip.empty() > 1) return fail("--diff, --check and --zip are separate runs");
    if (diff) return write_one_patch(args[0], args[1], args[2]);
    if (!check && (cuts || !sim.empty())) return fail("--cuts and --sim go with --check");
    fs::path old_dir = args[0], new_dir = args[1], out = args[2];

    std::string error;
    auto fw = read_firmware(new_dir / "firmware.toml", error);
    if (!fw) return fail(error);

    if (check) {
        std::error_code ec;
        if (!fs::is_directory(out, ec)) return fail(out.string() + ": not a package directory");
        check_options opt{old_dir, new_dir, out, cuts, find_sim(sim)};
        if (opt.sim.empty() || ::access(opt.sim.c_str(), X_OK) != 0)
            return fail("cannot run the simulated agent \"" + opt.sim + "\" (give it with --sim or DFOTA_SIM)");
        return check_package(*fw, opt, stdout);
    }

    signing_key key;
    if (!sign.empty() && !read_secret_key(sign, key, error)) return fail(error);
    auto start = std::chrono::steady_clock::now();
    package_summary sum;
    std::vector<std::string> errors;
    bool ok = make_package(*fw, old_dir, new_dir, out, sum, errors, sign.empty() ? nullptr : &key);
    for (const auto& w : sum.warnings) std::fprintf(stderr, "dfota-mkpkg: warning: %s\n", w.c_str());
    if (!ok) {
        for (const auto& e : errors) std::fprintf(stderr, "dfota-mkpkg: error: %s\n", e.c_str());
        return 1;
    }
    if (!zip.empty() && !write_zip(out, zip, error)) return fail(error);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("dfota-mkpkg: %spackage written to %s%s\n", sign.empty() ? "" : "signed ", out.c_str(),
                zip.empty() ? "" : (" and " + zip).c_str());
    std::printf("  partitions: %s", counts(sum.carried, "none").c_str());
    if (sum.blocks) std::printf(" (%d block patches)", sum.blocks);
    int left = 0;
    for (const auto& [k, v] : sum.left_out) left += v;
    if (left) std::printf("; unchanged, left out: %s", counts(sum.left_out, "").c_str());
    std::printf("\n  root file system: %s\n", counts(sum.file_commands, "no change").c_str());
    std::printf("  size: %s package for %s of new firmware (%.1f %%)\n", size_text(sum.package_bytes).c_str(),
                size_text(sum.new_bytes).c_str(),
                sum.new_bytes ? 100.0 * static_cast<double>(sum.package_bytes) / static_cast<double>(sum.new_bytes)
                              : 0.0);
    std::printf("  time: %.1f s on %u threads\n", seconds, worker_count());
    return 0;
}
