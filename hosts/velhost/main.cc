// velhost: the host program. See app.h and the README.
#include "app.h"

int main(int argc, char** argv) { return velhost::RunApp(argc, argv); }
