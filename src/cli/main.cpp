#include <cstdio>

int main() {
  std::puts("veracap-cli: not built yet");
  return 2;
}
