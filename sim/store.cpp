// SPDX-License-Identifier: MIT
#include "sim/store.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace bdesim {
namespace {

constexpr std::string_view kDataSuffix = ".dat";
constexpr std::string_view kProgramSuffix = ".prg";
constexpr std::string_view kSystemFile = "system.os";

bool PlainByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string ObjectFileName(std::string_view name, char type) {
    if (type == kSystemObject) return std::string(kSystemFile);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string file;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (PlainByte(u)) {
            file += c;
        } else {
            file += '%';
            file += kHex[u >> 4];
            file += kHex[u & 15];
        }
    }
    file += type == kProgramObject ? kProgramSuffix : kDataSuffix;
    return file;
}

bool ParseObjectFileName(std::string_view file, std::string& name, char& type) {
    auto ends = [&](std::string_view suffix) {
        return file.size() > suffix.size() && file.substr(file.size() - suffix.size()) == suffix;
    };
    if (ends(kDataSuffix)) {
        type = kDataObject;
    } else if (ends(kProgramSuffix)) {
        type = kProgramObject;
    } else {
        return false;
    }
    std::string_view stem = file.substr(0, file.size() - 4);
    name.clear();
    for (std::size_t i = 0; i < stem.size(); ++i) {
        if (stem[i] == '%') {
            if (i + 2 >= stem.size()) return false;
            int high = HexValue(stem[i + 1]);
            int low = HexValue(stem[i + 2]);
            if (high < 0 || low < 0) return false;
            name += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (PlainByte(static_cast<unsigned char>(stem[i]))) {
            name += stem[i];
        } else {
            return false;
        }
    }
    return !name.empty() && name.size() <= 8;
}

bool Store::Open(const std::string& dir, const std::string& label, std::string& error) {
    std::error_code ec;
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bdesim-";
        for (char c : label) pattern += PlainByte(static_cast<unsigned char>(c)) ? c : '_';
        pattern += "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) {
            error = "cannot create a temporary store: " + std::string(std::strerror(errno));
            return false;
        }
        dir_ = buffer.data();
        temporary_ = true;
        return true;
    }
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) {
        error = "store " + dir + " is not a directory";
        return false;
    }
    dir_ = dir;
    temporary_ = false;
    return true;
}

void Store::Remove() {
    if (!temporary_ || dir_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    temporary_ = false;
}

std::vector<StoredObject> Store::List() const {
    std::vector<StoredObject> objects;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        StoredObject object;
        if (!it->is_regular_file(ec)) continue;
        if (!ParseObjectFileName(it->path().filename().string(), object.name, object.type)) continue;
        object.size = it->file_size(ec);
        if (ec) continue;
        objects.push_back(object);
    }
    std::sort(objects.begin(), objects.end(), [](const StoredObject& a, const StoredObject& b) {
        return a.name != b.name ? a.name < b.name : a.type < b.type;
    });
    return objects;
}

std::uint64_t Store::UsedUnits(std::string_view exceptName, char exceptType) const {
    std::uint64_t units = 0;
    for (const StoredObject& object : List()) {
        if (object.name == exceptName && object.type == exceptType) continue;
        if (object.type == kProgramObject && !countPrograms) continue;
        units += MemoryUnits(object.size);
    }
    return units;
}

void StoreFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace bdesim
