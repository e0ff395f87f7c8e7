// kalmo-view: a live parent for kalmo-host on Linux. It runs the host
// through kalmo-client, shows its frames in a window, plays its audio, and
// sends the mouse, the keyboard and game controllers to it as commands.
// Closing the window sends QUIT. This file holds the command line, the
// status handling and the event loop; the window, sound, pointer rule, keys
// and controllers have their own files.
#include <sys/stat.h>
#include <unistd.h>

#include <SDL.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <array>
#include <deque>
#include <filesystem>
#include <string>

#include "audio_queue.h"
#include "game_controller.h"
#include "host_session.h"
#include "key_hold.h"
#include "key_map.h"
#include "pointer_tracker.h"
#include "recording.h"
#include "viewer_window.h"

namespace fs = std::filesystem;
using namespace kalmo;

namespace {

// The key that releases and recaptures a captured mouse; in captured mode it
// never reaches the core.
constexpr SDL_Keycode capture_key = SDLK_F12;

enum class PointerMode { kByCore, kFollow, kCaptured };

const char usage[] =
    "usage: kalmo-view --core PATH --content PATH [options]\n"
    "\n"
    "Plays a game through kalmo-host: the host's frames in a window (scaled,\n"
    "keeping the picture's aspect), its sound through SDL, the mouse as motion\n"
    "that keeps the game's cursor under the hand, the keyboard as Libretro key\n"
    "codes (a key tapped shorter than 50 ms is held down for 50 ms).\n"
    "Closing the window sends QUIT; the host's exit code becomes ours.\n"
    "\n"
    "Game controllers (any SDL knows, plugged in at any time): the left stick\n"
    "moves the game's cursor (faster the longer it is held out), the d-pad one\n"
    "pixel a press, repeating when held; A is the left button, B the right;\n"
    "X is Esc, Y Space, Back Enter, Start the game's menu (F5 for ScummVM, Esc\n"
    "for other cores); the left and right shoulders turn the wheel up and down.\n"
    "\n"
    "Pointer modes (the game's cursor is brought under the pointer when the\n"
    "mouse is captured, when it enters the window, and when the picture's size\n"
    "changes):\n"
    "  follow    the system pointer, hidden over the window, moves the game's\n"
    "            cursor; nothing is captured; Esc and F12 go to the game.\n"
    "            The default for the ScummVM core.\n"
    "  captured  the mouse is captured (relative mode) when the game starts or\n"
    "            the window is clicked; F12 releases it and never reaches the\n"
    "            game; Esc goes to the game. The default for other cores.\n"
    "\n"
    "options:\n"
    "  --host PATH        kalmo-host to run (default: " KALMO_DEFAULT_HOST ")\n"
    "  --core PATH        the Libretro core library\n"
    "  --content PATH     the content (game) handed to the core\n"
    "  --dirs DIR         where the system, save, assets and playlist folders\n"
    "                     live (default: $XDG_DATA_HOME/kalmo-view or ~/.local/share/kalmo-view)\n"
    "  --system DIR, --save DIR, --assets DIR, --playlist DIR   one folder each\n"
    "  --scale N          window size in frame pixels, 1 to 16, for the first picture;\n"
    "                     lowered when it would not fit the screen (default: fits\n"
    "                     the screen, at most 3)\n"
    "  --smooth           smooth scaling instead of sharp pixels\n"
    "  --pointer MODE     follow or captured (default: by core, see above)\n"
    "  --no-capture       the same as --pointer follow\n"
    "  --mouse-speed X    multiplies the motion sent to the core, 0.1 to 10\n"
    "                     (default: 1/0.9 for the ScummVM core, which moves its\n"
    "                     cursor 0.9 pixel per unit, else 1)\n"
    "  --no-audio         do not open an audio device\n"
    "  --verbose          copy the host's diagnostic stream to stderr, and report\n"
    "                     the sound's starts, underruns and reserve\n"
    "  --help             this text\n";

struct Options {
    std::string host = KALMO_DEFAULT_HOST;
    std::string core, content, dirs, system, save, assets, playlist;
    int scale = 0;
    PointerMode pointer = PointerMode::kByCore;
    double mouse_speed = 0;
    bool smooth = false, audio = true, verbose = false;
};

[[noreturn]] void fail(const std::string &message, int code = 2) {
    std::fprintf(stderr, "kalmo-view: %s\n", message.c_str());
    std::exit(code);
}

int parse_scale(const std::string &value) {
    char *end = nullptr;
    long scale = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != 0 || scale < 1 || scale > 16)
        fail("--scale takes a whole number from 1 to 16, not " + value);
    return int(scale);
}

double parse_mouse_speed(const std::string &value) {
    char *end = nullptr;
    double speed = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != 0 || !(speed >= 0.1 && speed <= 10))
        fail("--mouse-speed takes a number from 0.1 to 10, not " + value);
    return speed;
}

PointerMode parse_pointer_mode(const std::string &value) {
    if (value == "follow") return PointerMode::kFollow;
    if (value == "captured") return PointerMode::kCaptured;
    fail("--pointer takes follow or captured, not " + value);
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (option == "--smooth") { options.smooth = true; continue; }
        if (option == "--no-capture") { options.pointer = PointerMode::kFollow; continue; }
        if (option == "--no-audio") { options.audio = false; continue; }
        if (option == "--verbose") { options.verbose = true; continue; }
        if (i + 1 >= argc) fail("unknown option or missing value: " + option + " (see --help)");
        std::string value = argv[++i];
        if (option == "--host") options.host = value;
        else if (option == "--core") options.core = value;
        else if (option == "--content") options.content = value;
        else if (option == "--dirs") options.dirs = value;
        else if (option == "--system") options.system = value;
        else if (option == "--save") options.save = value;
        else if (option == "--assets") options.assets = value;
        else if (option == "--playlist") options.playlist = value;
        else if (option == "--scale") options.scale = parse_scale(value);
        else if (option == "--pointer") options.pointer = parse_pointer_mode(value);
        else if (option == "--mouse-speed") options.mouse_speed = parse_mouse_speed(value);
        else fail("unknown option: " + option + " (see --help)");
    }
    if (options.core.empty() || options.content.empty()) fail("--core and --content are required (see --help)");
    return options;
}

void require_file(const char *what, const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) fail(std::string(what) + " not found: " + path);
    if (S_ISDIR(info.st_mode)) fail(std::string(what) + " is a folder, not a file: " + path);
}

// The host's six paths: core, content, then the four folders, made if need be.
std::array<std::string, 6> host_paths(const Options &options) {
    std::string base = options.dirs;
    if (base.empty()) {
        const char *data = std::getenv("XDG_DATA_HOME");
        const char *home = std::getenv("HOME");
        base = data && *data ? std::string(data) + "/kalmo-view"
                             : std::string(home && *home ? home : ".") + "/.local/share/kalmo-view";
    }
    std::array<std::string, 6> paths = {options.core,
                                        options.content,
                                        options.system.empty() ? base + "/system" : options.system,
                                        options.save.empty() ? base + "/save" : options.save,
                                        options.assets.empty() ? base + "/assets" : options.assets,
                                        options.playlist.empty() ? base + "/playlist" : options.playlist};
    std::error_code failure;
    for (size_t folder = 2; folder < paths.size(); folder++) {
        const std::string &dir = paths[folder];
        fs::create_directories(dir, failure);
        if (failure) fail("cannot create " + dir + ": " + failure.message());
    }
    return paths;
}

int initial_scale(const Options &options) {
    if (options.scale > 0) return options.scale;
    SDL_DisplayMode mode;
    if (SDL_GetDesktopDisplayMode(0, &mode) != 0) return 2;
    int scale = 3;
    while (scale > 1 && (320 * scale > mode.w * 4 / 5 || 240 * scale > mode.h * 4 / 5)) scale--;
    return scale;
}

class Viewer {
public:
    Viewer(const Options &options, client::HostSession &host)
        : options_(options), host_(host),
          controllers_(pointer_, [this](SDL_Keycode key, bool down) { send_key(key, KMOD_NONE, down, false); }) {
        pointer_.set_speed(options.mouse_speed > 0 ? options.mouse_speed : 1);
    }
    int run();

private:
    // False once the host has ended and its last event was taken.
    bool take_events();
    void take_event(const client::Event &event);
    void take_diagnostic(const std::string &line);
    void take_status(const std::string &text);
    void handle_event(const SDL_Event &event);
    void handle_key(const SDL_KeyboardEvent &event);
    // The key path every key source takes: the key table and the hold.
    void send_key(SDL_Keycode sym, Uint16 sdl_modifiers, bool down, bool repeat);
    void set_capture(bool on);
    void choose_pointer_mode(const std::string &core_message);
    bool follow() const { return mode_ == PointerMode::kFollow; }
    bool captured_mode() const { return mode_ == PointerMode::kCaptured; }
    // Where the system pointer is in the window; false when it is elsewhere.
    bool pointer_in_window(int &x, int &y) const;
    // Brings the game's cursor under the system pointer at x, y in the
    // window, or under the picture's centre when the pointer is elsewhere.
    void bring_cursor_under_pointer(bool over, int x, int y);
    void send_due_key_releases();
    void update_title();
    void request_quit();
    void report_audio(bool final);
    WindowSize window_size_for(double width, double height);

    const Options &options_;
    client::HostSession &host_;
    ViewerWindow window_;
    AudioQueue audio_;
    PointerTracker pointer_;
    GameControllerInput controllers_;
    PointerMode mode_ = PointerMode::kCaptured;
    KeyHold key_hold_;
    bool redraw_ = false;
    uint64_t frames_received_ = 0;
    bool captured_ = false, quitting_ = false;
    std::string core_message_, state_ = "starting";
    uint32_t av_width_ = 0, av_height_ = 0;
    bool resized_to_av_ = false;
    std::deque<std::string> recent_diagnostics_;
    client::Event event_;
    client::HostEnd end_;
    JitterStatistics audio_reported_;
    bool told_scale_clamped_ = false;
};

// Everything that is waiting, the first wait a little so the loop does not
// spin. Video comes under the latest-frame policy, so a slow window skips
// frames instead of falling behind.
bool Viewer::take_events() {
    int wait_ms = 2;
    for (;;) {
        client::EventQueue::Take taken = host_.next_event(event_, wait_ms);
        if (taken == client::EventQueue::kEnded) return false;
        if (taken == client::EventQueue::kTimeout) return true;
        take_event(event_);
        if (event_.type == client::EventType::kExit) return false;
        wait_ms = 0;
    }
}

void Viewer::take_event(const client::Event &event) {
    switch (event.type) {
    case client::EventType::kStatus: take_status(event.text); break;
    case client::EventType::kVideo: {
        bool first = window_.frame_width() == 0;
        window_.take_frame(event.width(), event.height(), event.rgba());
        pointer_.set_frame_size(event.width(), event.height());
        frames_received_++;
        if (first && captured_mode() && (SDL_GetWindowFlags(window_.window()) & SDL_WINDOW_INPUT_FOCUS))
            set_capture(true);
        int x = 0, y = 0;
        if (first && follow() && pointer_in_window(x, y)) bring_cursor_under_pointer(true, x, y);
        redraw_ = true;
        break;
    }
    case client::EventType::kAudio:
        if (options_.audio) audio_.play(event.sample_rate(), event.samples(), event.frames(), event.received_ns);
        break;
    case client::EventType::kDiagnostic: take_diagnostic(event.text); break;
    case client::EventType::kError: std::fprintf(stderr, "kalmo-view: %s\n", event.text.c_str()); break;
    case client::EventType::kExit: end_ = event.end; break;
    }
}

// Keeps the last lines for the report when the host fails; copies all of
// them to stderr with --verbose.
void Viewer::take_diagnostic(const std::string &line) {
    if (options_.verbose) std::fprintf(stderr, "%s\n", line.c_str());
    recent_diagnostics_.push_back(line.substr(0, 400));
    if (recent_diagnostics_.size() > 12) recent_diagnostics_.pop_front();
}

void Viewer::take_status(const std::string &text) {
    std::fprintf(stderr, "kalmo-view: status %s\n", text.c_str());
    std::string state = json_string_member(text, "state");
    if (state == "core") {
        core_message_ = json_string_member(text, "message");
        choose_pointer_mode(core_message_);
    }
    if (state == "av" || state == "geometry") {
        double width = 0, height = 0, aspect = 0;
        json_number_member(text, "width", width);
        json_number_member(text, "height", height);
        if (!json_number_member(text, "aspect", aspect)) aspect = height > 0 ? width / height : 0;
        window_.set_aspect(aspect);
        av_width_ = uint32_t(width);
        av_height_ = uint32_t(height);
        redraw_ = true;
        if (!resized_to_av_ && width > 0 && aspect > 0 && options_.scale > 0) {
            WindowSize size = window_size_for(width, width / aspect);
            SDL_SetWindowSize(window_.window(), size.width, size.height);
            resized_to_av_ = true;
        }
    }
    if (state != "stage" && state != "core" && state != "av" && state != "geometry") state_ = state;
    if (state == "stage") state_ = json_string_member(text, "stage");
    update_title();
}

// With --verbose: each start of the sound (how late its first block is
// heard), each underrun, and a summary when the host has ended.
void Viewer::report_audio(bool final) {
    if (!options_.verbose || !options_.audio) return;
    JitterStatistics now = audio_.statistics();
    if (now.resumes != audio_reported_.resumes)
        std::fprintf(stderr, "kalmo-view: audio starts: heard %.1f ms after its first block (reserve target %.0f ms)\n",
                     now.last_resume_ms, audio_.target_ms());
    if (now.underruns != audio_reported_.underruns)
        std::fprintf(stderr, "kalmo-view: audio underrun %llu: the queue ran dry\n", (unsigned long long)now.underruns);
    audio_reported_ = now;
    if (!final) return;
    std::fprintf(stderr,
                 "kalmo-view: audio: %llu underruns, %llu starts heard %.1f ms after their first block on average "
                 "(%.1f ms at most), reserve %.1f ms on average for a target of %.0f ms, rate correction %+.2f %%, "
                 "%llu frames dropped\n",
                 (unsigned long long)now.underruns, (unsigned long long)now.resumes,
                 now.resumes ? now.total_resume_ms / double(now.resumes) : 0.0, now.max_resume_ms,
                 now.average_fill_ms, audio_.target_ms(), now.correction * 100,
                 (unsigned long long)now.dropped_frames);
}

// The picture at --scale, unless that would not fit the screen: a window
// larger than the screen hides a part of the game the player cannot reach.
WindowSize Viewer::window_size_for(double width, double height) {
    int usable_width = 0, usable_height = 0;
    window_.usable_area(usable_width, usable_height);
    WindowSize size = fit_window_size(width, height, options_.scale, usable_width, usable_height);
    if (size.clamped && !told_scale_clamped_)
        std::fprintf(stderr,
                     "kalmo-view: --scale %d would open a %dx%d window on a usable screen of %dx%d: %dx%d instead\n",
                     options_.scale, int(std::lround(width * options_.scale)),
                     int(std::lround(height * options_.scale)), usable_width, usable_height, size.width, size.height);
    told_scale_clamped_ = told_scale_clamped_ || size.clamped;
    return size;
}

void Viewer::update_title() {
    std::string title = "KALMO view";
    if (!core_message_.empty()) title += " - " + core_message_;
    title += " - " + state_;
    if (av_width_) title += " " + std::to_string(av_width_) + "x" + std::to_string(av_height_);
    if (captured_mode()) title += captured_ ? " - F12 releases the mouse" : " - click to capture the mouse";
    window_.set_title(title);
}

void Viewer::choose_pointer_mode(const std::string &core_message) {
    bool scummvm = is_scummvm_core(core_message);
    controllers_.set_menu_key(controller_menu_key(core_message));
    if (options_.mouse_speed <= 0) pointer_.set_speed(default_pointer_speed(core_message));
    mode_ = options_.pointer != PointerMode::kByCore ? options_.pointer
            : scummvm                                 ? PointerMode::kFollow
                                                      : PointerMode::kCaptured;
    if (follow()) SDL_ShowCursor(SDL_DISABLE);
    std::fprintf(stderr, "kalmo-view: pointer mode %s, mouse speed %.3f\n", follow() ? "follow" : "captured",
                 pointer_.speed());
}

// Asked of the display: SDL's own mouse state is only as recent as the
// events already handled.
bool Viewer::pointer_in_window(int &x, int &y) const {
    int window_x = 0, window_y = 0, width = 0, height = 0;
    SDL_GetGlobalMouseState(&x, &y);
    SDL_GetWindowPosition(window_.window(), &window_x, &window_y);
    SDL_GetWindowSize(window_.window(), &width, &height);
    x -= window_x;
    y -= window_y;
    return x >= 0 && y >= 0 && x < width && y < height;
}

void Viewer::bring_cursor_under_pointer(bool over, int x, int y) {
    PictureGeometry geometry = window_.geometry();
    if (!over) x = geometry.window_width / 2, y = geometry.window_height / 2;
    pointer_.bring_under(x, y, geometry, captured_);
}

void Viewer::set_capture(bool on) {
    if (on == captured_) return;
    // Where the pointer is before relative mode hides it: the cursor comes there.
    int x = 0, y = 0;
    bool over = pointer_in_window(x, y);
    if (SDL_SetRelativeMouseMode(on ? SDL_TRUE : SDL_FALSE) != 0 && on) {
        std::fprintf(stderr, "kalmo-view: cannot capture the mouse: %s\n", SDL_GetError());
        return;
    }
    captured_ = on;
    if (on) bring_cursor_under_pointer(over, x, y);
    std::fprintf(stderr, "kalmo-view: mouse %s\n", on ? "captured (F12 releases it)" : "released");
    update_title();
}

void Viewer::request_quit() {
    if (quitting_) return;
    quitting_ = true;
    std::string ignored;
    host_.send_quit(ignored);
    state_ = "quitting";
    update_title();
}

uint64_t now_ms() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Viewer::handle_key(const SDL_KeyboardEvent &event) {
    bool down = event.state == SDL_PRESSED;
    if (event.keysym.sym == capture_key && captured_mode()) {
        if (down && !event.repeat) set_capture(!captured_);
        return;
    }
    send_key(event.keysym.sym, event.keysym.mod, down, event.repeat != 0);
}

void Viewer::send_key(SDL_Keycode sym, Uint16 sdl_modifiers, bool down, bool repeat) {
    unsigned key = retro_key_from_sdl(sym);
    if (key == 0) return;
    uint16_t modifiers = retro_modifiers_from_sdl(sdl_modifiers);
    if (down && !repeat) key_hold_.press(key, now_ms());
    if (!down && !key_hold_.release(key, modifiers, now_ms())) return;
    uint32_t character = down ? typed_character(sym, sdl_modifiers) : 0;
    std::string ignored;
    host_.send_key(key, down ? 1 : 0, character, modifiers, ignored);
}

void Viewer::send_due_key_releases() {
    std::string ignored;
    for (const KeyHold::Release &release : key_hold_.take_due(now_ms()))
        host_.send_key(release.key, 0, 0, release.modifiers, ignored);
}

void Viewer::handle_event(const SDL_Event &event) {
    if (controllers_.handle_event(event, now_ms())) return;
    switch (event.type) {
    case SDL_QUIT: request_quit(); break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: handle_key(event.key); break;
    case SDL_MOUSEMOTION:
        // A released mouse in captured mode is the desktop's, not the game's.
        if (captured_ || follow()) pointer_.on_motion(event.motion, window_.geometry(), captured_);
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (captured_mode() && !captured_) set_capture(true);
        pointer_.on_button(event.button);
        break;
    case SDL_MOUSEBUTTONUP: pointer_.on_button(event.button); break;
    case SDL_MOUSEWHEEL: pointer_.on_wheel(event.wheel); break;
    case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_LEAVE) pointer_.on_leave(captured_);
        if (event.window.event == SDL_WINDOWEVENT_ENTER && follow()) {
            int x = 0, y = 0;
            bool over = pointer_in_window(x, y);
            bring_cursor_under_pointer(over, x, y);
        }
        if (event.window.event == SDL_WINDOWEVENT_FOCUS_GAINED && captured_mode() && !captured_ &&
            window_.frame_width())
            set_capture(true);
        if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST && captured_) set_capture(false);
        if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST) controllers_.release_all();
        redraw_ = true;
        break;
    default: break;
    }
}

int Viewer::run() {
    std::string error;
    // Until the host reports its picture, the window is sized for 320x240.
    WindowSize size{320 * initial_scale(options_), 240 * initial_scale(options_)};
    if (options_.scale > 0) size = window_size_for(320, 240);
    if (!window_.open(size.width, size.height, options_.smooth, error)) fail("cannot open a window: " + error, 1);
    if (options_.audio && !audio_.start(error)) std::fprintf(stderr, "kalmo-view: no sound: %s\n", error.c_str());
    update_title();

    auto clock = [] { return std::chrono::steady_clock::now(); };
    auto quit_requested_at = clock();
    bool killed = false;
    while (take_events()) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            bool was_quitting = quitting_;
            handle_event(event);
            if (quitting_ && !was_quitting) quit_requested_at = clock();
        }
        controllers_.update(now_ms());
        send_due_key_releases();
        MouseState mouse;
        std::string ignored;
        if (pointer_.take_state(frames_received_, mouse) && !quitting_)
            host_.send_mouse(mouse.dx, mouse.dy, uint32_t(mouse.buttons), mouse.wheel, mouse.px, mouse.py,
                             mouse.inside, ignored);
        if (redraw_) window_.present();
        redraw_ = false;
        report_audio(false);
        if (quitting_ && !killed && clock() - quit_requested_at > std::chrono::seconds(5)) {
            std::fprintf(stderr, "kalmo-view: the host did not stop within 5 s of QUIT; killing it\n");
            host_.stop(0);
            killed = true;
        }
    }
    set_capture(false);
    report_audio(true);
    std::fprintf(stderr, "kalmo-view: host ended: %s\n", end_.meaning.c_str());
    bool exited = end_.kind == client::HostEnd::kCode;
    if ((!exited || end_.code != 0) && !options_.verbose)
        for (const std::string &line : recent_diagnostics_) std::fprintf(stderr, "  host: %s\n", line.c_str());
    return exited ? int(end_.code) : 3;
}

}  // namespace

int main(int argc, char **argv) {
    Options options = parse_options(argc, argv);
    require_file("host", options.host);
    require_file("core", options.core);
    require_file("content", options.content);
    if (access(options.host.c_str(), X_OK) != 0) fail("host is not executable: " + options.host);
    client::SessionConfig config;
    config.host_program = options.host;
    config.paths = host_paths(options);
    config.video_policy = client::VideoPolicy::kLatest;

    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) fail(std::string("cannot start SDL: ") + SDL_GetError(), 1);
    // Controllers are a bonus: a machine without them still plays.
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0)
        std::fprintf(stderr, "kalmo-view: no game controllers: %s\n", SDL_GetError());
    std::string error;
    std::unique_ptr<client::HostSession> host = client::HostSession::start(config, error);
    if (!host) fail(error, 3);
    int code;
    {
        Viewer viewer(options, *host);
        code = viewer.run();
    }
    SDL_Quit();
    return code;
}
