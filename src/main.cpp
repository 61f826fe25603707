// qz: a native host for a scriptable text editor.
#include <SDL3/SDL_main.h>

#include "app/startup.h"

int main(int argc, char** argv) { return SDL_RunApp(argc, argv, qzMain, nullptr); }
