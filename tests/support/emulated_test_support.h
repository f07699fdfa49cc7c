// Helpers for tests of the emulated platform: a platform over a manifest
// text in a temporary image folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "support/harness.h"

namespace veracap::testing {

inline std::unique_ptr<emulated::EmulatedPlatform> MakePlatform(std::string_view manifest_text,
                                                                const std::string& image_dir,
                                                                emulated::Options options = {}) {
  options.image_dir = image_dir;
  std::string error;
  auto platform = emulated::OpenEmulatedDevices("", options, &error, manifest_text);
  EXPECT_NE(platform, nullptr) << error;
  return platform;
}

}  // namespace veracap::testing
