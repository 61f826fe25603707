#!/usr/bin/env python3
"""Another X client beside qz, over ctypes and libX11, for tests on a private display ($DISPLAY).

  x_client.py destroy PID     destroys the mapped top-level window whose _NET_WM_PID is PID
  x_client.py resize PID N    resizes each mapped top-level window of PID to another size, N times over
  x_client.py own [OPTIONS]   owns CLIPBOARD and answers requests for it (options below); prints "owned", and
                              "lost" when another client takes the clipboard
  x_client.py read TIMEOUT    prints the CLIPBOARD text, "no owner", "refused" or "timeout"
  x_client.py fill            opens connections until the server takes no more, prints "full", then holds them
  x_client.py atoms           prints how many atoms the server holds
"""
import argparse
import ctypes
import os
import select
import sys
import time

X = ctypes.CDLL("libX11.so.6")

Atom = Window = ctypes.c_ulong
Display = ctypes.c_void_p
PROPERTY_NOTIFY, SELECTION_CLEAR, SELECTION_REQUEST, SELECTION_NOTIFY = 28, 29, 30, 31
PROPERTY_DELETE = 1
PROPERTY_CHANGE_MASK = 1 << 22
IS_VIEWABLE = 2
PROP_MODE_REPLACE, PROP_MODE_APPEND = 0, 2
XA_ATOM, XA_CARDINAL = 4, 6


class SelectionRequest(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("owner", Window), ("requestor", Window), ("selection", Atom),
                ("target", Atom), ("property", Atom), ("time", ctypes.c_ulong)]


class SelectionNotify(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("requestor", Window), ("selection", Atom), ("target", Atom),
                ("property", Atom), ("time", ctypes.c_ulong)]


class PropertyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("window", Window), ("atom", Atom), ("time", ctypes.c_ulong),
                ("state", ctypes.c_int)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("request", SelectionRequest), ("notify", SelectionNotify),
                ("property", PropertyEvent), ("pad", ctypes.c_long * 24)]


class WindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", Window), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


X.XOpenDisplay.restype = Display
X.XOpenDisplay.argtypes = [ctypes.c_char_p]
X.XDefaultRootWindow.restype = Window
X.XDefaultRootWindow.argtypes = [Display]
X.XInternAtom.restype = Atom
X.XInternAtom.argtypes = [Display, ctypes.c_char_p, ctypes.c_int]
X.XCreateSimpleWindow.restype = Window
X.XCreateSimpleWindow.argtypes = [Display, Window, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                  ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
X.XQueryTree.argtypes = [Display, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                         ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
X.XGetWindowAttributes.argtypes = [Display, Window, ctypes.POINTER(WindowAttributes)]
X.XGetWindowProperty.argtypes = [Display, Window, Atom, ctypes.c_long, ctypes.c_long, ctypes.c_int, Atom,
                                 ctypes.POINTER(Atom), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
X.XChangeProperty.argtypes = [Display, Window, Atom, Atom, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                              ctypes.c_int]
X.XSetSelectionOwner.argtypes = [Display, Atom, Window, ctypes.c_ulong]
X.XGetSelectionOwner.restype = Window
X.XGetSelectionOwner.argtypes = [Display, Atom]
X.XConvertSelection.argtypes = [Display, Atom, Atom, Atom, Window, ctypes.c_ulong]
X.XSendEvent.argtypes = [Display, Window, ctypes.c_int, ctypes.c_long, ctypes.POINTER(Event)]
X.XNextEvent.argtypes = [Display, ctypes.POINTER(Event)]
X.XPending.argtypes = [Display]
X.XConnectionNumber.argtypes = [Display]
X.XDestroyWindow.argtypes = [Display, Window]
X.XResizeWindow.argtypes = [Display, Window, ctypes.c_uint, ctypes.c_uint]
X.XSync.argtypes = [Display, ctypes.c_int]
X.XFlush.argtypes = [Display]
X.XFree.argtypes = [ctypes.c_void_p]
X.XSelectInput.argtypes = [Display, Window, ctypes.c_long]
X.XGetAtomName.restype = ctypes.c_void_p
X.XGetAtomName.argtypes = [Display, Atom]

# Requestors may go before an answer reaches them; their errors are no concern of this client, beyond
# counting them so that an owner appending without end stops once its requestor is gone.
ERRORS = [0]


def count_error(display, error):
    ERRORS[0] += 1
    return 0


ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, Display, ctypes.c_void_p)(count_error)
X.XSetErrorHandler(ERROR_HANDLER)


def open_display():
    display = X.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the display")
    return display


def atom(display, name):
    return X.XInternAtom(display, name.encode(), 0)


def property_bytes(display, window, name, kind):
    actual, form, count, after, data = Atom(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    if X.XGetWindowProperty(display, window, name, 0, 1 << 24, 0, kind, ctypes.byref(actual), ctypes.byref(form),
                            ctypes.byref(count), ctypes.byref(after), ctypes.byref(data)) != 0 or not data:
        return None
    size = count.value * {8: 1, 16: ctypes.sizeof(ctypes.c_short), 32: ctypes.sizeof(ctypes.c_long)}[form.value]
    value = ctypes.string_at(data, size)
    X.XFree(data)
    return value


def windows_of(display, pid):
    """The mapped top-level windows whose _NET_WM_PID is pid."""
    root, parent, children, count = Window(), Window(), ctypes.POINTER(Window)(), ctypes.c_uint()
    X.XQueryTree(display, X.XDefaultRootWindow(display), ctypes.byref(root), ctypes.byref(parent),
                 ctypes.byref(children), ctypes.byref(count))
    pid_atom = atom(display, "_NET_WM_PID")
    found = []
    for i in range(count.value):
        window = children[i]
        value = property_bytes(display, window, pid_atom, XA_CARDINAL)
        attributes = WindowAttributes()
        X.XGetWindowAttributes(display, window, ctypes.byref(attributes))
        if value and ctypes.c_long.from_buffer_copy(value).value == pid and attributes.map_state == IS_VIEWABLE:
            found.append(window)
    return found


def destroy(pid):
    display = open_display()
    for window in windows_of(display, pid):
        X.XDestroyWindow(display, window)
        X.XSync(display, 0)
        print("destroyed", flush=True)
        return
    sys.exit("no window of process %d" % pid)


def resize(pid, times):
    """Resizes every window of the process to another size, times over, 30 ms apart."""
    display = open_display()
    for turn in range(times):
        for window in windows_of(display, pid):
            X.XResizeWindow(display, window, 300 + turn * 37 % 500, 200 + turn * 53 % 400)
        X.XSync(display, 0)
        time.sleep(0.03)
    print("resized", flush=True)


def wait_readable(display, seconds):
    return bool(select.select([X.XConnectionNumber(display)], [], [], max(seconds, 0))[0])


# Plain answers are written in appends of this many bytes, below the largest request of any server.
APPEND_BYTES = 1 << 22


def wait_for_file(path, seconds=60):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.01)


def write_piece(display, window, name, kind, piece, form):
    if form == 8:
        X.XChangeProperty(display, window, name, kind, 8, PROP_MODE_REPLACE, piece, len(piece))
    else:  # the same bytes, sent as 32-bit items
        items = (ctypes.c_long * max(1, len(piece) // 4))(*([0x7a7a7a7a] * max(1, len(piece) // 4)))
        X.XChangeProperty(display, window, name, kind, 32, PROP_MODE_REPLACE, items, len(items))


def write_whole(display, window, name, kind, data, options):
    """The plain answer in appends of options.append_bytes, options.append_pause seconds apart; without end
    (the text over and over) while the requestor's window lasts when options.endless."""
    step = options.append_bytes
    X.XChangeProperty(display, window, name, kind, 8, PROP_MODE_REPLACE, data[:step], len(data[:step]))
    at, errors = step, ERRORS[0]
    while at < len(data) or (options.endless and ERRORS[0] == errors):
        if options.append_pause or options.endless:
            X.XSync(display, 0)
            time.sleep(options.append_pause)
        piece = data[at % len(data):at % len(data) + step]
        X.XChangeProperty(display, window, name, kind, 8, PROP_MODE_APPEND, piece, len(piece))
        at += len(piece)


class Transfer:
    """One answer sent in pieces (INCR): the piece to write after each deletion of the property."""

    def __init__(self, data, kind, options):
        self.data, self.kind, self.options, self.sent, self.pieces = data, kind, options, 0, 0

    def next_piece(self):
        self.pieces += 1
        if self.options.until and os.path.exists(self.options.until):
            return b""
        chunk = self.options.chunk
        if self.options.endless:
            start = self.sent % max(1, len(self.data))
            piece = (self.data[start:] + self.data)[:chunk]
        else:
            piece = self.data[self.sent:self.sent + chunk]
        self.sent += len(piece)
        return piece


def own(options):
    display = open_display()
    window = X.XCreateSimpleWindow(display, X.XDefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0)
    clipboard, targets, incr = atom(display, "CLIPBOARD"), atom(display, "TARGETS"), atom(display, "INCR")
    offers = {}  # target -> the type of the answer
    for offer in options.offer or ["UTF8_STRING"]:
        target, _, kind = offer.partition(" as ")
        offers[atom(display, target)] = atom(display, kind or target)
    if options.own_when:
        wait_for_file(options.own_when)
    X.XSetSelectionOwner(display, clipboard, window, 0)
    if X.XGetSelectionOwner(display, clipboard) != window:
        sys.exit("cannot own the clipboard")
    print("owned", flush=True)
    data = options.text.encode(options.encoding) * options.times
    sending = {}  # (requestor, property) -> Transfer
    event = Event()
    while True:
        X.XNextEvent(display, ctypes.byref(event))
        if event.type == SELECTION_CLEAR:
            print("lost", flush=True)
        elif event.type == PROPERTY_NOTIFY and event.property.state == PROPERTY_DELETE:
            key = (event.property.window, event.property.atom)
            if key in sending:
                transfer = sending[key]
                time.sleep(options.pause)
                piece = transfer.next_piece()
                form = 32 if transfer.pieces == options.odd_piece and piece else 8
                write_piece(display, key[0], key[1], transfer.kind, piece, form)
                if piece and options.sending_mark:
                    open(options.sending_mark, "w").close()
                if not piece:
                    del sending[key]
                X.XFlush(display)
        elif event.type == SELECTION_REQUEST:
            request = event.request
            time.sleep(options.delay)
            if options.answer_when:
                wait_for_file(options.answer_when)
            answer = Event()
            answer.notify = SelectionNotify(SELECTION_NOTIFY, 0, 1, display, request.requestor, request.selection,
                                            request.target, request.property, request.time)
            if request.target == targets:
                offered = (Atom * (len(offers) + 1))(targets, *offers.keys())
                X.XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PROP_MODE_REPLACE,
                                  offered, len(offered))
            elif request.target in offers and options.no_write:
                pass
            elif request.target in offers and options.chunk:
                X.XSelectInput(display, request.requestor, PROPERTY_CHANGE_MASK)
                sending[(request.requestor, request.property)] = Transfer(data, offers[request.target], options)
                size = (ctypes.c_long * 1)(options.announce if options.announce is not None else len(data))
                X.XChangeProperty(display, request.requestor, request.property, incr, 32, PROP_MODE_REPLACE, size, 1)
                if options.notice_names_type:
                    answer.notify.target = offers[request.target]
            elif request.target in offers:
                write_whole(display, request.requestor, request.property, offers[request.target], data, options)
            else:
                answer.notify.property = 0
                if options.refuse_without_target:
                    answer.notify.target = 0
            X.XSendEvent(display, request.requestor, 0, 0, ctypes.byref(answer))
            if options.destroy_requestor:
                X.XDestroyWindow(display, request.requestor)
            X.XFlush(display)


def own_options(args):
    parser = argparse.ArgumentParser(prog="x_client.py own")
    parser.add_argument("--text", default="z", help="the text offered")
    parser.add_argument("--times", type=int, default=1, help="the text repeated this many times")
    parser.add_argument("--encoding", default="utf-8", help="how the text is written as bytes")
    parser.add_argument("--offer", action="append", metavar="TARGET[ as TYPE]",
                        help="a target answered, with the type of the answer (the target itself by default); "
                             "UTF8_STRING when none is given; TARGETS is always answered")
    parser.add_argument("--own-when", metavar="FILE", help="takes the clipboard once FILE exists")
    parser.add_argument("--delay", type=float, default=0, help="seconds before each request is answered")
    parser.add_argument("--answer-when", metavar="FILE", help="each request is answered once FILE exists")
    parser.add_argument("--chunk", type=int, default=0, help="answers in pieces (INCR) of this many bytes")
    parser.add_argument("--pause", type=float, default=0, help="seconds before each piece")
    parser.add_argument("--endless", action="store_true",
                        help="pieces, or plain appends, without end: the text over and over")
    parser.add_argument("--append-bytes", type=int, default=APPEND_BYTES,
                        help="a plain answer is written in appends of this many bytes")
    parser.add_argument("--append-pause", type=float, default=0, help="seconds before each append")
    parser.add_argument("--until", metavar="FILE", help="pieces end once FILE exists")
    parser.add_argument("--sending-mark", metavar="FILE", help="creates FILE once a piece has been sent")
    parser.add_argument("--odd-piece", type=int, default=0, metavar="N", help="piece N is sent in 32-bit items")
    parser.add_argument("--announce", type=int, help="the size announced for pieces (the text's by default)")
    parser.add_argument("--no-write", action="store_true",
                        help="answers that the text is in the property without writing the property")
    parser.add_argument("--refuse-without-target", action="store_true",
                        help="refusals of targets not offered name no target (None), as SDL sends them")
    parser.add_argument("--notice-names-type", action="store_true",
                        help="the notice of an answer in pieces names the pieces' type, not the target asked")
    parser.add_argument("--destroy-requestor", action="store_true",
                        help="destroys the requestor's window right after answering")
    return parser.parse_args(args)


def fill():
    held = []
    while True:
        display = X.XOpenDisplay(None)
        if not display:
            break
        held.append(display)
    print("full", flush=True)
    while True:
        time.sleep(60)


def read(timeout):
    display = open_display()
    clipboard, utf8 = atom(display, "CLIPBOARD"), atom(display, "UTF8_STRING")
    if not X.XGetSelectionOwner(display, clipboard):
        print("no owner")
        return
    window = X.XCreateSimpleWindow(display, X.XDefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0)
    target = atom(display, "QZ_TEST_PASTE")
    X.XConvertSelection(display, clipboard, utf8, target, window, 0)
    X.XFlush(display)
    deadline = time.monotonic() + timeout
    event = Event()
    while time.monotonic() < deadline:
        while X.XPending(display):
            X.XNextEvent(display, ctypes.byref(event))
            if event.type == SELECTION_NOTIFY:
                value = property_bytes(display, window, target, utf8) if event.notify.property else None
                print(value.decode() if value is not None else "refused")
                return
        wait_readable(display, deadline - time.monotonic())
    print("timeout")


def atoms():
    """Atoms are numbered from 1 without gaps and never freed: the count is the highest that has a name."""
    display = open_display()
    low, high = 1, 1
    while X.XGetAtomName(display, high):
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        if X.XGetAtomName(display, middle):
            low = middle
        else:
            high = middle
    print(low, flush=True)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "destroy":
        destroy(int(sys.argv[2]))
    elif command == "resize":
        resize(int(sys.argv[2]), int(sys.argv[3]))
    elif command == "own":
        own(own_options(sys.argv[2:]))
    elif command == "read":
        read(float(sys.argv[2]))
    elif command == "fill":
        fill()
    elif command == "atoms":
        atoms()
    else:
        sys.exit("unknown command " + command)
