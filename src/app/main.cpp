// Entry point of dyrclient (placeholder until the command line lands).
#include <cstdio>

int main() {
  std::printf("Usage: dyrclient -h -c -w /home/dyrclient \n");
  return 0;
}
