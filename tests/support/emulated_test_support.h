// Helpers for tests of the emulated platform: a temporary image folder per
// test and a platform over a manifest text.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace veracap::emulated::testing {

// A fresh folder under the temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    std::random_device random;
    path_ = (std::filesystem::temp_directory_path() /
             ("veracap-test-" + std::to_string(random()) + std::to_string(random())))
                .string();
    std::filesystem::create_directories(path_);
#else
    std::string pattern = "/tmp/veracap-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};

inline Manifest ParseOrDie(std::string_view text) {
  Manifest manifest;
  std::string error;
  EXPECT_TRUE(ParseManifest(text, &manifest, &error)) << error;
  return manifest;
}

inline std::unique_ptr<EmulatedPlatform> MakePlatform(std::string_view manifest_text,
                                                      const std::string& image_dir,
                                                      Options options = {}) {
  options.image_dir = image_dir;
  auto platform = std::make_unique<EmulatedPlatform>(ParseOrDie(manifest_text), options);
  EXPECT_EQ(platform->error(), "");
  return platform;
}

}  // namespace veracap::emulated::testing
