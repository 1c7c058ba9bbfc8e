// velnet-sample-config SPOOL LOG: prints the network provider's commented
// sample configuration with that spool and log, for the installation's
// velnet.ini (cmake/install.cmake). Exit status 2 on a usage error.
#include <cstdio>

#include "net/sample_config.h"

int main(int argc, char** argv) {
  if (argc != 3 || argv[1][0] != '/' || argv[2][0] != '/') {
    std::fputs("usage: velnet-sample-config SPOOL LOG  (absolute paths)\n", stderr);
    return 2;
  }
  std::fputs(velnet::SampleConfig(argv[1], argv[2]).c_str(), stdout);
  return 0;
}
