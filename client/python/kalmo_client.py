"""Python binding of kalmo-client (ctypes over the shared library; standard
library only). The same operations as include/kalmo_client.h:

    from kalmo_client import Client
    with Client(host, [core, content, system, save, assets, playlist],
                library="build/linux/client/libkalmo_client.so") as client:
        for event in client.events():
            if event.type == "video":
                ...  # event.width, event.height, event.rgba (bytes)
            elif event.type == "status" and event.state == "running":
                client.send_key(13, True)

The shared library is found by the `library` argument, else by the
KALMO_CLIENT_LIBRARY environment variable. Events are copied into Python
objects, so they stay valid after the next call. Failures raise
KalmoClientError with the library's message.
"""
import ctypes
import os

OK, TIMEOUT, ENDED = 0, 1, 2
VIDEO_ALL, VIDEO_LATEST = 0, 1
EVENT_NAMES = {1: "status", 2: "video", 3: "audio", 4: "diagnostic", 5: "error", 6: "exit"}
EXIT_KINDS = {1: "code", 2: "signal", 3: "exception", 4: "terminated"}


class KalmoClientError(Exception):
    """A call of the library failed; `result` is its kalmo_client_result."""

    def __init__(self, result, message):
        super().__init__(message)
        self.result = result


class _Exit(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("exit_code", ctypes.c_int64), ("meaning", ctypes.c_char_p)]


class _Event(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int32), ("text", ctypes.c_void_p), ("text_length", ctypes.c_size_t),
        ("state", ctypes.c_char_p), ("width", ctypes.c_uint32), ("height", ctypes.c_uint32),
        ("rgba", ctypes.c_void_p), ("dropped_frames", ctypes.c_uint64), ("sample_rate", ctypes.c_uint32),
        ("frames", ctypes.c_uint32), ("samples", ctypes.c_void_p), ("stream_offset", ctypes.c_uint64),
        ("received_ns", ctypes.c_int64), ("exit", _Exit),
    ]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_Event))


class _Config(ctypes.Structure):
    _fields_ = [
        ("host_program", ctypes.c_char_p), ("paths", ctypes.c_char_p * 6), ("queue_limit", ctypes.c_uint32),
        ("video_policy", ctypes.c_int32), ("callback", _CALLBACK), ("callback_user", ctypes.c_void_p),
    ]


class Exit:
    """How the host ended: kind ("code", "signal", "exception", "terminated"),
    its code and the meaning in words."""

    def __init__(self, raw):
        self.kind = EXIT_KINDS.get(raw.kind, "unknown")
        self.code = raw.exit_code
        self.meaning = raw.meaning.decode("utf-8", "replace") if raw.meaning else ""

    def __repr__(self):
        return "Exit(%s, %d, %r)" % (self.kind, self.code, self.meaning)


class Event:
    """One event, copied: type is "status", "video", "audio", "diagnostic",
    "error" or "exit"; the fields of other types are None."""

    def __init__(self, raw):
        self.type = EVENT_NAMES.get(raw.type, "unknown")
        self.text = ctypes.string_at(raw.text, raw.text_length).decode("utf-8", "replace") if raw.text else None
        self.state = raw.state.decode("utf-8", "replace") if raw.state is not None else None
        self.width = self.height = self.rgba = self.sample_rate = self.frames = self.samples = None
        self.dropped_frames = raw.dropped_frames
        self.stream_offset = raw.stream_offset
        self.received_ns = raw.received_ns
        self.exit = Exit(raw.exit) if self.type == "exit" else None
        if self.type == "video":
            self.width, self.height = raw.width, raw.height
            self.rgba = ctypes.string_at(raw.rgba, raw.width * raw.height * 4)
        elif self.type == "audio":
            self.sample_rate, self.frames = raw.sample_rate, raw.frames
            self.samples = ctypes.string_at(raw.samples, raw.frames * 4)  # s16 LE, left then right

    def __repr__(self):
        return "Event(%s)" % self.type


def load_library(path=None):
    """The shared library at `path`, or at $KALMO_CLIENT_LIBRARY."""
    path = path or os.environ.get("KALMO_CLIENT_LIBRARY")
    if not path:
        raise KalmoClientError(-1, "give the library's path or set KALMO_CLIENT_LIBRARY")
    lib = ctypes.CDLL(path)
    client = ctypes.c_void_p
    signatures = {
        "kalmo_client_version": (ctypes.c_char_p, []),
        "kalmo_client_config_init": (None, [ctypes.POINTER(_Config)]),
        "kalmo_client_start": (ctypes.c_int, [ctypes.POINTER(_Config), ctypes.POINTER(client)]),
        "kalmo_client_next_event": (ctypes.c_int, [client, ctypes.c_int32, ctypes.POINTER(_Event)]),
        "kalmo_client_send_mouse": (ctypes.c_int, [client, ctypes.c_int32, ctypes.c_int32, ctypes.c_uint32,
                                                   ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]),
        "kalmo_client_send_key": (ctypes.c_int, [client, ctypes.c_uint32, ctypes.c_int32, ctypes.c_uint32,
                                                 ctypes.c_uint32]),
        "kalmo_client_send_reset": (ctypes.c_int, [client]),
        "kalmo_client_send_quit": (ctypes.c_int, [client]),
        "kalmo_client_stop": (ctypes.c_int, [client, ctypes.c_int32, ctypes.POINTER(_Exit)]),
        "kalmo_client_close": (None, [client]),
        "kalmo_client_last_error": (ctypes.c_char_p, [client]),
        "kalmo_client_exit_meaning": (ctypes.c_char_p, [ctypes.c_int64]),
        "kalmo_client_host_pid": (ctypes.c_int64, [client]),
        "kalmo_client_now_ns": (ctypes.c_int64, []),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


def version(library=None):
    return load_library(library).kalmo_client_version().decode()


def exit_meaning(code, library=None):
    return load_library(library).kalmo_client_exit_meaning(code).decode()


class Client:
    """One host session. `paths`: core, content, system, save, assets and
    playlist folders (six strings). `video_policy`: VIDEO_ALL or
    VIDEO_LATEST. `callback(event)`, if given, gets every event on the
    library's thread (return False to stop); next_event is then refused."""

    _handle = None  # until the library has given one

    def __init__(self, host, paths, library=None, video_policy=VIDEO_ALL, queue_limit=0, callback=None):
        if len(paths) != 6:
            raise KalmoClientError(-1, "six paths are needed, not %d" % len(paths))
        self._lib = load_library(library)
        self._handle = ctypes.c_void_p()
        config = _Config()
        self._lib.kalmo_client_config_init(ctypes.byref(config))
        config.host_program = os.fsencode(host)
        for i, path in enumerate(paths):
            config.paths[i] = os.fsencode(path)
        config.queue_limit, config.video_policy = queue_limit, video_policy
        if callback:
            # Kept on self: the library calls it as long as the session lives.
            self._callback = _CALLBACK(lambda user, event: 1 if callback(Event(event.contents)) is not False else 0)
            config.callback = self._callback
        self._check(self._lib.kalmo_client_start(ctypes.byref(config), ctypes.byref(self._handle)))

    def _check(self, result):
        if result < 0:
            raise KalmoClientError(result, self._lib.kalmo_client_last_error(self._handle).decode("utf-8", "replace"))
        return result

    def next_event(self, timeout_ms=-1):
        """The next Event; None when the timeout passed; raises EOFError
        once the session has ended and every event was taken."""
        raw = _Event()
        result = self._check(self._lib.kalmo_client_next_event(self._handle, timeout_ms, ctypes.byref(raw)))
        if result == ENDED:
            raise EOFError("the session has ended")
        return Event(raw) if result == OK else None

    def events(self, timeout_ms=-1):
        """Every event until the session ends (None for each timeout)."""
        while True:
            try:
                yield self.next_event(timeout_ms)
            except EOFError:
                return

    def send_mouse(self, dx, dy, buttons=0, wheel=0, px=0, py=0, inside=1):
        self._check(self._lib.kalmo_client_send_mouse(self._handle, dx, dy, buttons, wheel, px, py, inside))

    def send_key(self, keycode, down, character=0, modifiers=0):
        self._check(self._lib.kalmo_client_send_key(self._handle, keycode, 1 if down else 0, character, modifiers))

    def send_reset(self):
        self._check(self._lib.kalmo_client_send_reset(self._handle))

    def send_quit(self):
        self._check(self._lib.kalmo_client_send_quit(self._handle))

    def stop(self, timeout_ms=5000):
        """QUIT, wait up to timeout_ms, then terminate; returns an Exit."""
        raw = _Exit()
        self._check(self._lib.kalmo_client_stop(self._handle, timeout_ms, ctypes.byref(raw)))
        return Exit(raw)

    def host_pid(self):
        return self._lib.kalmo_client_host_pid(self._handle)

    def close(self):
        if self._handle:
            self._lib.kalmo_client_close(self._handle)
            self._handle = ctypes.c_void_p()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __del__(self):
        self.close()
