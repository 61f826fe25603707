// The reader asks the owner to convert the clipboard into a property of a window of its own, as every X
// client does, trying the forms of text in the order SDL tries them. Each step waits up to a second for the
// owner, as SDL would (an owner writing a large answer in appends is answering: each append starts the step
// again, with a second more for each MiB written), and the whole read has one deadline as well: five
// seconds, and one more for every MiB received (in pieces, or written into the property), at most thirty. An
// owner that sends pieces without end is given up on however it paces them, a slow one within seconds and a
// fast one at the latest after half a minute, while a large text sent at an honest pace arrives whole: a
// display reached over a slow network still carries a megabyte a second.
//
// Every request carries a timestamp from the server and names a property of this process's own, renewed
// after each request whose owner may still answer; only an answer that names them back is taken, whatever
// target it names, and a refusal that names the time moves on to the next form at once. An owner that
// answers a read that gave up meets a window that has gone or, when the server gave that window's id to a
// later read, writes a property that nobody reads (or refuses with another read's time). Giving up only
// closes the reader's own connection.
#include "platform/x11_clipboard_read.h"

#include <SDL3/SDL_events.h>
#include <SDL3/SDL_properties.h>
#include <SDL3/SDL_timer.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "platform/random_hash.h"
#include "platform/text_conversion.h"
#include "platform/x11_library.h"
#include "platform/x11_property_slices.h"

namespace {

constexpr Uint64 kStepMilliseconds = 1000;
constexpr Uint64 kPumpMilliseconds = 10;
constexpr Uint64 kReadMilliseconds = 5000;
constexpr uint64_t kBytesPerAddedSecond = uint64_t{1} << 20;
constexpr Uint64 kMostReadMilliseconds = 30000;
// An owner that sends in pieces could send without end; more text than this is refused.
constexpr uint64_t kMostTextBytes = uint64_t{1} << 30;

const char* const kStepTimeout = "Selection timeout";  // SDL's words for an owner that does not answer
const char* const kReadTimeout = "clipboard owner did not finish in time";
const char* const kTooLarge = "clipboard text is too large (over 1 GiB)";
const char* const kUnreadable = "clipboard text could not be read";
const char* const kOtherFormat = "clipboard owner sent part of the text in another format";
const char* const kNoConnection = "cannot connect to the X server";
const char* const kNoLibrary = "the X library cannot be loaded";

enum class TextForm { Utf8, Latin1, Unusable };

// The targets asked for, in order, each also a type of answer that is text in the form given.
struct TextType {
  const char* name;
  TextForm form;
};
constexpr TextType kTextTypes[] = {{"UTF8_STRING", TextForm::Utf8},
                                   {"text/plain;charset=utf-8", TextForm::Utf8},
                                   {"text/plain", TextForm::Utf8},
                                   {"TEXT", TextForm::Utf8},
                                   {"STRING", TextForm::Latin1}};

// Property names are atoms, which the server keeps as long as it runs: the names go round this many, far more
// than the requests an owner could still be answering late.
constexpr uint64_t kPropertyNames = 256;

// Requests made so far whose owner may still answer; each one gives later requests the next property name.
std::atomic<uint64_t>& abandonedRequests() {
  static std::atomic<uint64_t> count{0};
  return count;
}

// The property that requests name now: this process's own (a random tag, since processes in other process
// namespaces share the display), and another after each request abandoned.
std::string propertyName() {
  static const std::string tag = [] {
    const RandomHash random = makeRandomHash();
    return std::string(random.data(), 16);
  }();
  return "QZ_CLIPBOARD_" + tag + "_" + std::to_string(abandonedRequests().load() % kPropertyNames);
}

// What one request for one target gave.
struct Answer {
  enum Kind { Text, NotText, Failed } kind;
  std::string text;  // the text as UTF-8, or why the read failed
};

Answer failed(const char* message) { return {Answer::Failed, message}; }

Answer asText(std::string bytes, TextForm form) {
  const size_t size = form == TextForm::Latin1 ? latin1AsUtf8Size(bytes) : bytes.size();
  if (size > kMostTextBytes) return failed(kTooLarge);
  // Latin-1 text of ASCII alone is its own UTF-8: no second copy of a large text.
  if (size == bytes.size()) return {Answer::Text, std::move(bytes)};
  return {Answer::Text, latin1ToUtf8(bytes)};
}

enum class Wait { Answered, StepOver, ReadOver };

// For a wait in which no event but the one awaited shows the owner going on.
bool noProgress(const XEvent&) { return false; }

// One connection with its window that receives the text; closing the connection destroys the window.
class Reader {
 public:
  Reader(const X11Library& x, Display* display) : x_(x), display_(display), start_(SDL_GetTicks()) {}
  ~Reader() { x_.closeDisplay(display_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  ClipboardText read() {
    clipboard_ = atom("CLIPBOARD");
    if (x_.getSelectionOwner(display_, clipboard_) == None) return {true, ""};
    incr_ = atom("INCR");
    for (size_t i = 0; i < std::size(kTextTypes); ++i) typeAtoms_[i] = atom(kTextTypes[i].name);
    window_ = x_.createSimpleWindow(display_, x_.defaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    x_.selectInput(display_, window_, PropertyChangeMask);
    if (const char* failure = takeServerTime()) return {false, failure};
    for (const Atom target : typeAtoms_) {
      Answer answer = requestText(target);
      if (answer.kind == Answer::Text) return {true, std::move(answer.text)};
      if (answer.kind == Answer::Failed) return {false, std::move(answer.text)};
    }
    return {true, ""};
  }

 private:
  // Marks the request in flight abandoned unless it is told that its owner has finished with it.
  class RequestScope {
   public:
    ~RequestScope() {
      if (!finished_) abandonedRequests().fetch_add(1);
    }
    void finish() { finished_ = true; }

   private:
    bool finished_ = false;
  };

  Atom atom(const char* name) const { return x_.internAtom(display_, name, False); }

  TextForm formOf(Atom type) const {
    for (size_t i = 0; i < std::size(kTextTypes); ++i) {
      if (typeAtoms_[i] == type) return kTextTypes[i].form;
    }
    return TextForm::Unusable;
  }

  Uint64 readDeadline() const {
    return start_ + std::min(kMostReadMilliseconds, kReadMilliseconds + received_ * 1000 / kBytesPerAddedSecond);
  }

  static const char* messageOf(Wait wait) { return wait == Wait::ReadOver ? kReadTimeout : kStepTimeout; }

  // Waits up to a second (and within the read's deadline) for an event that `wanted` accepts, dropping the
  // others and pumping SDL's events meanwhile, so that qz answers when it owns the clipboard itself; an event
  // that `progress` accepts starts the step again (appendStep). The deadlines hold however many other events
  // come (any client may send this window events), and the read's also when the event is there already: an
  // owner that always has the next piece ready is still stopped.
  template <typename Wanted, typename Progress>
  Wait await(const Wanted& wanted, const Progress& progress, XEvent& event) {
    Uint64 stepEnd = SDL_GetTicks() + kStepMilliseconds;
    for (;;) {
      const Uint64 readEnd = readDeadline();
      if (SDL_GetTicks() >= readEnd) return Wait::ReadOver;
      for (int pending = x_.pending(display_); pending > 0; --pending) {
        x_.nextEvent(display_, &event);
        if (wanted(event)) return Wait::Answered;
        if (progress(event)) stepEnd = SDL_GetTicks() + appendStep();
      }
      const Uint64 now = SDL_GetTicks();
      if (now >= readEnd) return Wait::ReadOver;
      if (now >= stepEnd) return Wait::StepOver;
      SDL_PumpEvents();
      pollfd readable{x_.connectionNumber(display_), POLLIN, 0};
      poll(&readable, 1, static_cast<int>(std::min({stepEnd - now, readEnd - now, kPumpMilliseconds})));
    }
  }

  bool isNewValue(const XEvent& event) const {
    return event.type == PropertyNotify && event.xproperty.window == window_ && event.xproperty.atom == property_ &&
           event.xproperty.state == PropertyNewValue;
  }

  // Owners that answer with no time at all are taken at their word; the property tells them apart anyway. The
  // target a notice names is not asked: SDL's refusals name none, and some owners name the type they answer
  // with (STRING for TEXT), which the property's own type says again.
  bool isAnswer(const XEvent& event) const {
    if (event.type != SelectionNotify) return false;
    const XSelectionEvent& answer = event.xselection;
    return answer.requestor == window_ && answer.selection == clipboard_ &&
           (answer.time == time_ || answer.time == CurrentTime) &&
           (answer.property == None || answer.property == property_);
  }

  // A timestamp of the server for the requests: the time of a change of the window's own property. The
  // property goes again at once, so that an owner that answers without writing it leaves nothing to read.
  const char* takeServerTime() {
    property_ = atom(propertyName().c_str());
    const unsigned char nothing = 0;
    x_.changeProperty(display_, window_, property_, XA_STRING, 8, PropModeAppend, &nothing, 0);
    x_.deleteProperty(display_, window_, property_);
    x_.flush(display_);
    XEvent event;
    const Wait wait = await([this](const XEvent& e) { return isNewValue(e); }, noProgress, event);
    if (wait != Wait::Answered) return messageOf(wait);
    time_ = event.xproperty.time;
    return nullptr;
  }

  bool requestSlice(long offsetUnits, PropertySlice& slice) const {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (x_.getWindowProperty(display_, window_, property_, offsetUnits, kPropertySliceUnits, True, AnyPropertyType,
                             &type, &format, &count, &after, &data) != Success) {
      return false;
    }
    const std::unique_ptr<unsigned char, decltype(x_.free)> owned(data, x_.free);
    slice.type = type;
    slice.format = format;
    slice.length = uint64_t{count} * static_cast<unsigned>(format / 8);
    slice.bytesAfter = after;
    slice.bytes.clear();
    slice.firstItem = 0;
    if (data == nullptr) return true;
    if (format == 8) slice.bytes.assign(reinterpret_cast<const char*>(data), count);
    if (format == 32 && count > 0) slice.firstItem = static_cast<uint32_t>(reinterpret_cast<const long*>(data)[0]);
    return true;
  }

  // The step after an append: a second, and one more for each MiB the property holds, as the server copies
  // the whole value for each append (on a busy machine appends of 4 MiB to a 44 MiB value came 0.8 s apart).
  Uint64 appendStep() const { return kStepMilliseconds + written_ * 1000 / kBytesPerAddedSecond; }

  // Whether the event is the owner writing more of its answer into the property: the bytes it holds now
  // count as received.
  bool isAppend(const XEvent& event) {
    if (!isNewValue(event)) return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (x_.getWindowProperty(display_, window_, property_, 0, 0, False, AnyPropertyType, &type, &format, &count, &after,
                             &data) == Success) {
      if (data != nullptr) x_.free(data);
      if (after > written_) received_ += after - written_;
      written_ = std::max<uint64_t>(written_, after);
    }
    return true;
  }

  PropertyRead readProperty(uint64_t limit, PropertyValue& value) const {
    return readPropertyInSlices([this](long offset, PropertySlice& slice) { return requestSlice(offset, slice); },
                                limit, value);
  }

  Answer requestText(Atom target) {
    RequestScope request;
    property_ = atom(propertyName().c_str());
    x_.convertSelection(display_, clipboard_, target, property_, window_, time_);
    x_.flush(display_);
    written_ = 0;
    XEvent event;
    const Wait wait =
        await([this](const XEvent& e) { return isAnswer(e); }, [this](const XEvent& e) { return isAppend(e); }, event);
    if (wait != Wait::Answered) return failed(messageOf(wait));
    if (event.xselection.property == None) {
      request.finish();
      return {Answer::NotText, {}};  // not offered in this form
    }
    PropertyValue value;
    const PropertyRead read = readProperty(kMostTextBytes, value);
    if (read != PropertyRead::Whole) return failed(read == PropertyRead::TooLarge ? kTooLarge : kUnreadable);
    // The rest of a value nobody reads goes; deleting an announcement of pieces asks for the first.
    if (!value.deleted) x_.deleteProperty(display_, window_, property_);
    if (value.type == incr_ && value.format == 32) return readPieces(value.firstItem, request);
    request.finish();
    const TextForm form = value.format == 8 ? formOf(value.type) : TextForm::Unusable;
    if (form == TextForm::Unusable) return {Answer::NotText, {}};
    return asText(std::move(value.bytes), form);
  }

  // The text sent in pieces (INCR): each piece is a new value of the property, taken by deleting it, until an
  // empty one. Every piece must be text of the first one's type.
  Answer readPieces(uint32_t announced, RequestScope& request) {
    if (announced > kMostTextBytes) return failed(kTooLarge);
    std::string text;
    Atom type = None;
    for (;;) {
      XEvent event;
      const Wait wait = await([this](const XEvent& e) { return isNewValue(e); }, noProgress, event);
      if (wait != Wait::Answered) return failed(messageOf(wait));
      PropertyValue piece;
      const PropertyRead read = readProperty(kMostTextBytes - text.size(), piece);
      if (read != PropertyRead::Whole) return failed(read == PropertyRead::TooLarge ? kTooLarge : kUnreadable);
      if (piece.length == 0) break;
      if (piece.format != 8 || (type != None && piece.type != type)) return failed(kOtherFormat);
      if (type == None) {
        type = piece.type;
        if (formOf(type) == TextForm::Unusable) return {Answer::NotText, {}};  // the owner is left to give up
      }
      received_ += piece.bytes.size();
      text += piece.bytes;
    }
    request.finish();
    return type == None ? Answer{Answer::Text, {}} : asText(std::move(text), formOf(type));
  }

  const X11Library& x_;
  Display* display_;
  const Uint64 start_;
  uint64_t received_ = 0;  // bytes received in pieces or appends, which extend the read's deadline to its most
  uint64_t written_ = 0;   // bytes the owner has written into the property for the request in flight
  Window window_ = None;
  Atom clipboard_ = None;
  Atom incr_ = None;
  Atom typeAtoms_[std::size(kTextTypes)] = {};
  Atom property_ = None;
  Time time_ = CurrentTime;
};

}  // namespace

std::optional<ClipboardText> readX11ClipboardText(SDL_Window* window) {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr || std::strcmp(driver, "x11") != 0) return std::nullopt;
  X11Library x;
  if (!x.load()) return ClipboardText{false, kNoLibrary};
  auto* sdlDisplay = window != nullptr
                         ? static_cast<Display*>(SDL_GetPointerProperty(SDL_GetWindowProperties(window),
                                                                        SDL_PROP_WINDOW_X11_DISPLAY_POINTER, nullptr))
                         : nullptr;
  Display* display = x.openDisplay(sdlDisplay != nullptr ? x.displayString(sdlDisplay) : nullptr);
  if (display == nullptr) return ClipboardText{false, kNoConnection};
  // Whatever SDL asked of the server, the clipboard's ownership among it, is done before the reader asks.
  if (sdlDisplay != nullptr) x.sync(sdlDisplay, False);
  Reader reader(x, display);
  return reader.read();
}
