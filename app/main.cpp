#include "app/backends.h"
#include "app/command_line.h"

int main(int argc, char** argv) {
    register_backends();
    return orvette_main(argc, argv);
}
