#include "support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace veracap::testing {

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const auto candidate =
        std::filesystem::temp_directory_path() / ("veracap-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
  return (std::filesystem::path(path_) / name).string();
}

Harness::Harness(const std::string& manifest_text) : temp_(std::make_unique<TempDir>()) {
  image_dir_ = temp_->path();
  Start(manifest_text, true);
}

Harness::Harness(const std::string& manifest_text, const std::string& image_dir)
    : image_dir_(image_dir) {
  Start(manifest_text, false);
}

void Harness::Start(const std::string& manifest_text, bool disks_in_ram) {
  emulated::Options options;
  options.image_dir = image_dir_;
  options.disks_in_ram = disks_in_ram;
  std::string error;
  // Null, failing the test, as the runner stops on the same error.
  platform_ = emulated::OpenEmulatedDevices("", options, &error, manifest_text);
  if (!platform_) {
    ADD_FAILURE() << "emulated devices: " << error;
    return;
  }
  ctx_ = std::make_unique<Context>(Context{*platform_, window_, state_});
}

}  // namespace veracap::testing
