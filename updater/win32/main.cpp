// Atualizador Quorvel on Windows: the program's entry.
#include "updater/ProgramStartup.h"

int main(int argc, char** argv) {
    return RunWindowProgram(argc, argv, [] {});
}
