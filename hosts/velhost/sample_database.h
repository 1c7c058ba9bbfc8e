// The sample database new data directories get: a few disks and orders to
// run queries against.
#ifndef VELHOST_SAMPLE_DATABASE_H
#define VELHOST_SAMPLE_DATABASE_H

#include <filesystem>

namespace velhost {

// Creates the SQLite database file with the sample tables and rows. Throws
// std::runtime_error with the engine's message on failure.
void CreateSampleDatabase(const std::filesystem::path& file);

}  // namespace velhost

#endif
