// Whether the standard streams are attached to a terminal.
#ifndef VELHOST_TERMINAL_H
#define VELHOST_TERMINAL_H

namespace velhost {

bool StdinIsTerminal();
bool StdoutIsTerminal();

}  // namespace velhost

#endif
