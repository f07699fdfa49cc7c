// A complete program for one test: emulated devices from a manifest text in
// a fresh temporary folder, the headless window, the state and the context.
#pragma once

#include <memory>
#include <string>

#include "app/context.h"
#include "app/headless_window.h"
#include "app/state.h"
#include "platform/emulated/emulated_platform.h"

namespace veracap::testing {

// A temporary folder, removed with everything in it at the end of its life.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

class Harness {
 public:
  // Fails the current test (and leaves platform() null) when the manifest
  // does not parse. The virtual clock starts at 2026-12-06 09:00:00.
  explicit Harness(const std::string& manifest_text);
  // Disk memory in RAM. A second program over the same images keeps its
  // disks in image files there (files persist between runs).
  Harness(const std::string& manifest_text, const std::string& image_dir);

  bool ok() const { return platform_ != nullptr; }
  emulated::EmulatedPlatform& platform() { return *platform_; }
  HeadlessWindow& window() { return window_; }
  AppState& state() { return state_; }
  Context& ctx() { return *ctx_; }
  const std::string& image_dir() const { return image_dir_; }
  const std::string& log() const { return state_.results_log; }

 private:
  void Start(const std::string& manifest_text, bool disks_in_ram);

  std::unique_ptr<TempDir> temp_;
  std::string image_dir_;
  std::unique_ptr<emulated::EmulatedPlatform> platform_;
  HeadlessWindow window_;
  AppState state_;
  std::unique_ptr<Context> ctx_;
};

}  // namespace veracap::testing
