/* SPDX-License-Identifier: MIT */
// A terminal's object store: data files, programs and the operating-system
// image, kept as files in one directory under names no object name can
// steer out of it.
#ifndef SIM_STORE_H
#define SIM_STORE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bdesim {

inline constexpr char kDataObject = 'D';
inline constexpr char kProgramObject = 'P';
inline constexpr char kSystemObject = 'S';  // the operating-system image

struct StoredObject {
    std::string name;  // object name as the terminal knows it
    char type = kDataObject;
    std::uint64_t size = 0;
};

// File name of an object: every byte outside A-Z a-z 0-9 _ - becomes %XX,
// then ".dat" or ".prg"; the OS image is "system.os".
std::string ObjectFileName(std::string_view name, char type);
bool ParseObjectFileName(std::string_view file, std::string& name, char& type);

// Memory an object takes, in units of 256 bytes (rounded up).
inline std::uint64_t MemoryUnits(std::uint64_t size) { return (size + 255) / 256; }

// A store file held open while a transfer runs, so that a block costs one
// read or write and not an open and close as well; closed when the state
// holding it is replaced or the connection ends.
class StoreFile {
  public:
    StoreFile() = default;
    explicit StoreFile(int fd) : fd_(fd) {}
    StoreFile(StoreFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    StoreFile& operator=(StoreFile&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;
    ~StoreFile() { Close(); }
    int fd() const { return fd_; }
    void Close();

  private:
    int fd_ = -1;
};

class Store {
  public:
    // dir empty: a fresh temporary directory that Remove() deletes.
    bool Open(const std::string& dir, const std::string& label, std::string& error);
    void Remove();  // deletes a temporary store
    const std::string& dir() const { return dir_; }

    std::string PathOf(std::string_view name, char type) const { return dir_ + "/" + ObjectFileName(name, type); }
    // Data files and programs, sorted by name then type.
    std::vector<StoredObject> List() const;
    std::uint64_t UsedUnits(std::string_view exceptName = {}, char exceptType = 0) const;
    // False: programs live in a program memory of their own, neither counted
    // against the total nor listed in the directory.
    bool countPrograms = true;

  private:
    std::string dir_;
    bool temporary_ = false;
};

}  // namespace bdesim

#endif
