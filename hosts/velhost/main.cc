// velhost: the host program. See app.h and docs/VELHOST.md.
#include "app.h"

int main(int argc, char** argv) { return velhost::RunApp(argc, argv); }
