// X errors reported instead of ending the process. The X library's own handler prints the error and exits,
// and an error can come from a peer qz never controls: a program that asks for the clipboard and closes its
// window before qz answers makes the answer fail. Unsaved work must not go with it.
#pragma once

// On the x11 video driver, makes X errors print one line on standard error and be otherwise ignored; on
// other drivers does nothing. Call after SDL's video is up, on the thread that runs SDL's events.
void reportX11ErrorsInsteadOfExiting();
