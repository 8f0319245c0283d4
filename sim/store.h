// A terminal's object store: data files, programs and the operating-system
// image, kept as files in one directory under names no object name can
// steer out of it.
#ifndef SIM_STORE_H
#define SIM_STORE_H

#include <cstdint>
#include <string>
#include <string_view>
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
