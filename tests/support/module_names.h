// The file name of a built module on this system: "libNAME.so" on Linux,
// "NAME.dll" on Windows.
#ifndef VELMAIL_TESTS_MODULE_NAMES_H
#define VELMAIL_TESTS_MODULE_NAMES_H

#include <string>

namespace veltest {

inline std::string ModuleFile(const std::string& stem) {
#if defined(_WIN32)
  return stem + ".dll";
#else
  return "lib" + stem + ".so";
#endif
}

}  // namespace veltest

#endif
