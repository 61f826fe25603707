// The life of the process: start-up, the scripts' run and the ordered shutdown.
#pragma once

// The process's main function, run through SDL_RunApp; returns the exit code.
int qzMain(int argc, char** argv);
