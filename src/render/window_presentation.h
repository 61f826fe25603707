// How window surfaces reach the screen. SDL backs a window surface with a texture of its 2D renderer by
// default, which on a machine without a GPU loads the GL driver stack at start-up and uploads and redraws
// the whole window for every present. The video drivers that own a native framebuffer (X11 shared memory,
// the offscreen and dummy drivers' memory) are told to use it, so that only the changed rectangles travel.
#pragma once

// Whether the named video driver presents window surfaces best through its own framebuffer.
bool prefersNativeFramebuffer(const char* videoDriver);

// Chooses the presentation of window surfaces for the current video driver. Called once after SDL_Init and
// before the first window surface exists (SDL decides on the first one). The hint is set at normal priority,
// so a user's SDL_FRAMEBUFFER_ACCELERATION variable still decides.
void chooseWindowPresentation();
