// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <vector>

namespace tarno_vesk::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string join(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Small file helpers for assertions.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);  // sorted names

// Whether `text` has the shape of `pattern`, where '9' stands for any digit and every other
// character for itself ("tarno-vesk-backup-99999999-999999.json").
bool has_shape(const std::string& text, const std::string& pattern);

}  // namespace tarno_vesk::test
