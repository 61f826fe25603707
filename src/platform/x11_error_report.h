// What other X clients can do to qz, answered without losing the user's work. The X library's own error
// handler prints the error and exits, and an error can come from a peer qz never controls: a program that
// asks for the clipboard and closes its window before qz answers makes the answer fail; a program that
// destroys qz's window makes every later request on it fail. Unsaved work must not go with it.
#pragma once

// On the x11 video driver, makes X errors print one line on standard error and be otherwise ignored; on
// other drivers does nothing. An error is reported once: later errors about the same resource (a window
// that has gone, for one), or of the same kind about none, are not. Call after SDL's video is up, on the
// thread that runs SDL's events.
void reportX11ErrorsInsteadOfExiting();
// On the x11 video driver, turns the destruction of an SDL window by another client into a close request
// of that window (SDL_EVENT_WINDOW_CLOSE_REQUESTED), delivered once; on other drivers does nothing.
void closeWindowsDestroyedByOtherClients();
