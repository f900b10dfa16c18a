#include "Startup.h"

int main(int argc, char** argv) {
    return RunOrvane(argc, argv);
}
