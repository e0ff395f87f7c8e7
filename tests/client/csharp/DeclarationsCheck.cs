// The C# declarations (client/csharp/KalmoClient.cs) against the real
// library and host under Mono: the structures have the C layout, a session
// runs, a command out of range is refused with a reason, and stop ends it.
//   mono DeclarationsCheck.exe HOST CORE CONTENT FOLDER   (exit status 0: all held)
using System;
using System.Runtime.InteropServices;

static class DeclarationsCheck
{
    static int failures;

    static void Expect(bool held, string what)
    {
        if (held) return;
        failures++;
        Console.WriteLine("FAILED: " + what);
    }

    static int Main(string[] args)
    {
        Expect(Marshal.SizeOf(typeof(KalmoClient.Event)) == 112, "kalmo_client_event is 112 bytes");
        Expect(Marshal.SizeOf(typeof(KalmoClient.Config)) == 80, "kalmo_client_config is 80 bytes");
        Expect(Marshal.OffsetOf(typeof(KalmoClient.Event), "Exit").ToInt32() == 88, "the exit member at 88");
        var config = new KalmoClient.Config();
        KalmoClient.kalmo_client_config_init(ref config);
        config.HostProgram = KalmoClient.Utf8(args[0]);
        config.Paths = new IntPtr[6];
        for (int i = 0; i < 6; i++) config.Paths[i] = KalmoClient.Utf8(i < 2 ? args[i + 1] : args[3]);
        IntPtr client;
        var started = KalmoClient.kalmo_client_start(ref config, out client);
        Expect(started == KalmoClient.Result.Ok, "start: " + KalmoClient.LastError(client));
        if (started != KalmoClient.Result.Ok) return 1;

        KalmoClient.Event e;
        bool running = false, framed = false;
        while (!framed && KalmoClient.kalmo_client_next_event(client, 10000, out e) == KalmoClient.Result.Ok)
        {
            if (e.Type == KalmoClient.EventType.Status && KalmoClient.Text(e.State) == "running") running = true;
            if (e.Type != KalmoClient.EventType.Video) continue;
            framed = true;
            Expect(e.Width == 320 && e.Height == 240, "a 320x240 frame, not " + e.Width + "x" + e.Height);
            Expect(Marshal.ReadByte(e.Rgba, 3) == 255, "an opaque first pixel");
        }
        Expect(running && framed, "the running status and a frame");
        Expect(KalmoClient.kalmo_client_send_mouse(client, 1, 1, 9, 0, 0, 0, 1) == KalmoClient.Result.Invalid,
               "buttons 9 refused");
        Expect(KalmoClient.LastError(client).Contains("buttons"), "the refusal says why");
        Expect(KalmoClient.kalmo_client_send_key(client, 273, 1, 0, 0) == KalmoClient.Result.Ok, "a key sent");
        KalmoClient.Exit how;
        KalmoClient.kalmo_client_stop(client, 10000, out how);
        Expect(how.Kind == KalmoClient.ExitKind.Code && how.ExitCode == 0, "stop gives exit code 0");
        Expect(KalmoClient.Text(how.Meaning).StartsWith("exit code 0"), "stop's meaning");
        KalmoClient.Event last = new KalmoClient.Event();
        KalmoClient.Result result;
        while ((result = KalmoClient.kalmo_client_next_event(client, 10000, out e)) == KalmoClient.Result.Ok) last = e;
        Expect(result == KalmoClient.Result.Ended && last.Type == KalmoClient.EventType.Exit, "the exit event last");
        KalmoClient.kalmo_client_close(client);
        Console.WriteLine(failures == 0 ? "all held, library " + KalmoClient.Version() : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
