// Helpers for tests of the emulated platform: a platform over a manifest
// text in a temporary image folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "support/harness.h"

namespace veracap::emulated::testing {

using veracap::testing::TempDir;

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
