#include "platform/emulated/manifest.h"

namespace veracap::emulated {

bool ParseManifest(std::string_view, Manifest*, std::string* error) {
  if (error) *error = "manifest parsing is not built yet";
  return false;
}

bool LoadManifest(const std::string&, Manifest*, std::string* error) {
  if (error) *error = "manifest parsing is not built yet";
  return false;
}

std::string_view BundledManifest() { return {}; }

}  // namespace veracap::emulated
