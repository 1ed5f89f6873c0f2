// A scratch folder of its own for each test, removed with everything in it at the end.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

namespace mixengine::testing {

class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("mixengine-mt-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace mixengine::testing
