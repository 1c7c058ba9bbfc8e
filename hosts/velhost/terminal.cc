#include "terminal.h"

#include "platform.h"

namespace velhost {

bool StdinIsTerminal() { return vel::os::IsTerminal(0); }
bool StdoutIsTerminal() { return vel::os::IsTerminal(1); }

}  // namespace velhost
