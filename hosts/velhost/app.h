// velhost as a whole: sets up the data directory and the environment the
// library reads, loads the library as the host does, hands over the mail
// profile, and runs the demo, the scripts or the prompt.
#ifndef VELHOST_APP_H
#define VELHOST_APP_H

namespace velhost {

// Exit codes: 0 all went through; 1 some statements failed to parse or
// bind; 2 velhost could not start.
int RunApp(int argc, const char* const* argv);

}  // namespace velhost

#endif
