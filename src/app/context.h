// What every procedure of the core works with: the two seams and the state.
#pragma once

#include "app/state.h"
#include "app/window.h"
#include "platform/platform.h"

namespace veracap {

struct Context {
  Platform& platform;
  Window& window;
  AppState& state;
};

}  // namespace veracap
