#include "harness.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

namespace fuzz {

namespace {

std::string makescratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/fpfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("fuzz: scratch directory");
        std::abort();
    }
    return pattern;
}

void removescratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratchdir(), ec);
}

}  // namespace

const std::string& scratchdir() {
    // Never destroyed: the exit handler that removes the directory runs after
    // static destructors would have.
    static const std::string* dir = [] {
        auto* made = new std::string(makescratch());
        std::atexit(removescratch);
        return made;
    }();
    return *dir;
}

std::string scratchpath(std::string_view name) {
    return scratchdir() + "/" + std::string(name);
}

void writefile(std::string_view name, std::string_view bytes) {
    std::string path = scratchpath(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

void removefile(std::string_view name) {
    std::string path = scratchpath(name);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        std::perror(path.c_str());
        std::abort();
    }
}

std::vector<std::string_view> splitfiles(std::string_view data, std::size_t maxparts) {
    constexpr std::string_view separator = "\n%%\n";
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < maxparts) {
        std::size_t at = data.find(separator);
        if (at == std::string_view::npos) break;
        parts.push_back(data.substr(0, at + 1));
        data.remove_prefix(at + separator.size());
    }
    parts.push_back(data);
    return parts;
}

runstate* newrunstate() {
    auto* rs = static_cast<runstate*>(std::calloc(1, sizeof(runstate)));
    if (rs == nullptr) std::abort();
    static const std::string* infile = new std::string(scratchpath("install.ins"));
    rs->infile = infile->c_str();
    rs->maxkeylen = 18;
    rs->mode = runmode{};
    std::snprintf(rs->hostname, sizeof rs->hostname, "%s", "build7.east.example.org");
    std::snprintf(rs->ipv4addr, sizeof rs->ipv4addr, "%s", "10.1.2.3");
    std::snprintf(rs->datetime, sizeof rs->datetime, "%s", "2024/01/02 03:04:05");
    std::snprintf(rs->dcpath, sizeof rs->dcpath, "%s", "DC=east,DC=example,DC=org");
    std::snprintf(rs->cwd, sizeof rs->cwd, "%s", "/build");
    return rs;
}

void notecheck(std::string_view data, const char* check) {
    const char* dir = std::getenv("FP_FUZZ_CHECKDIR");
    if (dir == nullptr || *dir == '\0') return;
    char name[64];
    std::snprintf(name, sizeof name, "/check-%016zx", std::hash<std::string_view>{}(check));
    std::string path = std::string(dir) + name;
    if (std::filesystem::exists(path)) return;
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void setsources(fileinfo* first) {
    static char srcdir[] = "src";
    for (fileinfo* entry = first; entry != nullptr; entry = entry->next) {
        if (entry->ftype != nullptr && entry->srcdir == nullptr) entry->srcdir = srcdir;
        setsources(entry->child);
    }
}

std::FILE* nullstream() {
    static std::FILE* stream = std::fopen("/dev/null", "w");
    if (stream == nullptr) std::abort();
    return stream;
}

}  // namespace fuzz
