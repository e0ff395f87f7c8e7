// P/Invoke declarations of kalmo-client for a .NET front-end: the C interface
// of client/include/kalmo_client.h, one to one, plus small helpers for the
// UTF-8 texts. Add this file to the project and put kalmo_client.dll
// (Windows) or libkalmo_client.so (Linux) beside the program.
//
//     var config = new KalmoClient.Config();
//     KalmoClient.kalmo_client_config_init(ref config);
//     config.HostProgram = KalmoClient.Utf8("kalmo-host.exe");
//     config.Paths = new[] { core, content, system, save, assets, playlists }.Select(KalmoClient.Utf8).ToArray();
//     if (KalmoClient.kalmo_client_start(ref config, out IntPtr client) != KalmoClient.Result.Ok)
//         Console.WriteLine(KalmoClient.LastError(client));
//     KalmoClient.Result result;
//     while ((result = KalmoClient.kalmo_client_next_event(client, 1000, out var e)) >= 0 && result != KalmoClient.Result.Ended)
//         if (result == KalmoClient.Result.Ok && e.Type == KalmoClient.EventType.Video) Draw(e.Width, e.Height, e.Rgba);
//     KalmoClient.kalmo_client_close(client);
//
// The event's pointers belong to the library until the next next_event call:
// copy what you keep (Marshal.Copy). The texts given in Config are the
// caller's (Utf8 allocates them; free with Marshal.FreeHGlobal after start).
using System;
using System.Runtime.InteropServices;
using System.Text;

public static class KalmoClient
{
    const string Library = "kalmo_client";

    public enum Result : int
    {
        Ok = 0, Timeout = 1, Ended = 2,
        Invalid = -1, StartFailed = -2, HostGone = -3, System = -4,
    }

    public enum VideoPolicy : int { All = 0, Latest = 1 }

    public enum EventType : int { Status = 1, Video = 2, Audio = 3, Diagnostic = 4, Error = 5, Exit = 6 }

    public enum ExitKind : int { Code = 1, Signal = 2, Exception = 3, Terminated = 4 }

    [StructLayout(LayoutKind.Sequential)]
    public struct Exit
    {
        public ExitKind Kind;
        public long ExitCode;
        public IntPtr Meaning;  // UTF-8, lives as long as the handle
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Event
    {
        public EventType Type;
        public IntPtr Text;         // UTF-8, TextLength bytes
        public UIntPtr TextLength;
        public IntPtr State;        // status: UTF-8 "state" value
        public uint Width, Height;  // video
        public IntPtr Rgba;         // video: Height rows of Width * 4 bytes
        public ulong DroppedFrames;
        public uint SampleRate;     // audio
        public uint Frames;         // audio: stereo frames
        public IntPtr Samples;      // audio: Frames * 2 shorts
        public ulong StreamOffset;
        public long ReceivedNs;
        public Exit Exit;
    }

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate int EventCallback(IntPtr user, ref Event e);

    [StructLayout(LayoutKind.Sequential)]
    public struct Config
    {
        public IntPtr HostProgram;  // UTF-8
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)]
        public IntPtr[] Paths;      // core, content, system, save, assets, playlist (UTF-8)
        public uint QueueLimit;
        public VideoPolicy VideoPolicy;
        public EventCallback Callback;  // keep the delegate alive for the session
        public IntPtr CallbackUser;
    }

    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr kalmo_client_version();
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern void kalmo_client_config_init(ref Config config);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_start(ref Config config, out IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_next_event(IntPtr client, int timeoutMs, out Event e);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_send_mouse(IntPtr client, int dx, int dy, uint buttons, int wheel,
                                                        int px, int py, int inside);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_send_key(IntPtr client, uint keycode, int down, uint character,
                                                      uint modifiers);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_send_reset(IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_send_quit(IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern Result kalmo_client_stop(IntPtr client, int timeoutMs, out Exit how);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern void kalmo_client_close(IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr kalmo_client_last_error(IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr kalmo_client_exit_meaning(long exitCode);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern long kalmo_client_host_pid(IntPtr client);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern long kalmo_client_now_ns();

    // A NUL-terminated UTF-8 copy of `text` in unmanaged memory (free it with
    // Marshal.FreeHGlobal once kalmo_client_start has returned).
    public static IntPtr Utf8(string text)
    {
        byte[] bytes = Encoding.UTF8.GetBytes(text + "\0");
        IntPtr copy = Marshal.AllocHGlobal(bytes.Length);
        Marshal.Copy(bytes, 0, copy, bytes.Length);
        return copy;
    }

    // A UTF-8 text of the library as a string ("" for null).
    public static string Text(IntPtr utf8)
    {
        if (utf8 == IntPtr.Zero) return "";
        int length = 0;
        while (Marshal.ReadByte(utf8, length) != 0) length++;
        byte[] bytes = new byte[length];
        Marshal.Copy(utf8, bytes, 0, length);
        return Encoding.UTF8.GetString(bytes);
    }

    public static string LastError(IntPtr client) => Text(kalmo_client_last_error(client));
    public static string Version() => Text(kalmo_client_version());
}
