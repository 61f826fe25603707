// What other X clients can do to qz, answered without losing the user's work. The X library's own error
// handler prints the error and exits, and an error can come from a peer qz never controls: a program that
// asks for the clipboard and closes its window before qz answers makes the answer fail; a program that
// destroys qz's window makes every later request on it fail. Unsaved work must not go with it.
#pragma once

#include <SDL3/SDL_events.h>

// On the x11 video driver, makes X errors print one line on standard error and be otherwise ignored; on
// other drivers does nothing. An error is reported once: later errors about the same resource (a window
// that has gone, for one), or of the same kind about none, are not. Call after SDL's video is up, on the
// thread that runs SDL's events.
void reportX11ErrorsInsteadOfExiting();
// On the x11 video driver, turns the destruction of an SDL window by another client into a close request
// of that window (SDL_EVENT_WINDOW_CLOSE_REQUESTED), delivered once; on other drivers does nothing. The
// request names the destroyed X window in its data1 (SDL's own close requests hold 0 there).
void closeWindowsDestroyedByOtherClients();
// True for a close request made above for an X window that SDL has since replaced with another of the same
// SDL window, as it does when it rebuilds a window for OpenGL: the window is still there, and the request is
// to be dropped. Ask once the SDL call that rebuilt it has returned, as the consumer of SDL's queue does.
bool closesReplacedWindow(const SDL_Event& event);
