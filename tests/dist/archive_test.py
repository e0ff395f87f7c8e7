"""tools/dist/archive.py: an archive's bytes depend only on the files'
contents, names and executable bits, and every entry unpacks with the fixed
time, owner and mode a user of the release expects."""
import gzip
import os
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

ARCHIVE = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "dist", "archive.py")
EPOCH = 1765000000  # 2025-12-06 05:46:40 UTC


def write(path, content, mode):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(content)
    os.chmod(path, mode)


def pack(output, folder, extra_mode=0o644, mtime=None):
    """Packs the same three files laid out in `folder`."""
    write(os.path.join(folder, "host"), b"\x7fELF program", 0o755)
    write(os.path.join(folder, "notes.txt"), b"read me\n", extra_mode)
    write(os.path.join(folder, "binding", "client.py"), b"print('hi')\n", extra_mode)
    if mtime is not None:
        for name in ("host", "notes.txt", "binding/client.py"):
            os.utime(os.path.join(folder, name), (mtime, mtime))
    pairs = [f"README.txt={folder}/notes.txt", f"kalmo-host={folder}/host",
             f"python/kalmo_client.py={folder}/binding/client.py"]
    return subprocess.run([sys.executable, ARCHIVE, output, "top", str(EPOCH)] + pairs,
                          capture_output=True, text=True)


class ArchiveTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.root = self.scratch.name

    def tearDown(self):
        self.scratch.cleanup()

    def pack_twice(self, suffix):
        first = os.path.join(self.root, "first" + suffix)
        second = os.path.join(self.root, "second" + suffix)
        self.assertEqual(pack(first, os.path.join(self.root, "a")).returncode, 0)
        # Another folder, other times, a umask-like group write bit: same bytes.
        result = pack(second, os.path.join(self.root, "b", "deeper"), extra_mode=0o664, mtime=EPOCH + 86400)
        self.assertEqual(result.returncode, 0, result.stderr)
        return first, second

    def test_tar_gz_is_the_same_from_another_folder_time_and_mode(self):
        first, second = self.pack_twice(".tar.gz")
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_zip_is_the_same_from_another_folder_time_and_mode(self):
        first, second = self.pack_twice(".zip")
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_tar_entries_are_sorted_with_fixed_time_owner_and_modes(self):
        first, _ = self.pack_twice(".tar.gz")
        with gzip.open(first) as packed:
            packed.read(1)
            self.assertEqual(packed.mtime, 0)
        with open(first, "rb") as raw:
            header = raw.read(10)
        self.assertEqual(header[3] & 0x08, 0, "the gzip header names a file")
        with tarfile.open(first) as tar:
            members = tar.getmembers()
        self.assertEqual([m.name for m in members],
                         ["top", "top/README.txt", "top/kalmo-host", "top/python", "top/python/kalmo_client.py"])
        for member in members:
            self.assertEqual((member.mtime, member.uid, member.gid, member.uname, member.gname),
                             (EPOCH, 0, 0, "", ""), member.name)
        modes = {m.name: m.mode for m in members}
        self.assertEqual(modes["top/kalmo-host"], 0o755)
        self.assertEqual(modes["top/README.txt"], 0o644)
        self.assertEqual(modes["top/python"], 0o755)
        self.assertTrue(members[0].isdir())

    def test_zip_entries_keep_unix_modes_and_the_epoch_in_utc(self):
        first, _ = self.pack_twice(".zip")
        with zipfile.ZipFile(first) as archive:
            infos = archive.infolist()
            self.assertEqual(archive.read("top/kalmo-host"), b"\x7fELF program")
        self.assertEqual([i.filename for i in infos],
                         ["top/", "top/README.txt", "top/kalmo-host", "top/python/", "top/python/kalmo_client.py"])
        for info in infos:
            self.assertEqual(info.date_time, (2025, 12, 6, 5, 46, 40), info.filename)
        modes = {i.filename: i.external_attr >> 16 for i in infos}
        self.assertEqual(modes["top/kalmo-host"], 0o100755)
        self.assertEqual(modes["top/README.txt"], 0o100644)
        self.assertEqual(modes["top/"], 0o40755)

    def test_names_that_would_leave_the_top_folder_are_refused(self):
        write(os.path.join(self.root, "f"), b"x", 0o644)
        for name in ("../escape", "/etc/passwd", "a/../../b", ""):
            result = subprocess.run([sys.executable, ARCHIVE, os.path.join(self.root, "out.zip"), "top",
                                     str(EPOCH), f"{name}={self.root}/f"], capture_output=True, text=True)
            self.assertNotEqual(result.returncode, 0, name)
            self.assertFalse(os.path.exists(os.path.join(self.root, "out.zip")), name)

    def test_a_missing_source_file_fails_and_names_it(self):
        result = subprocess.run([sys.executable, ARCHIVE, os.path.join(self.root, "out.tar.gz"), "top",
                                 str(EPOCH), "kalmo-host=/nonexistent/host"], capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("kalmo-host", result.stderr)


if __name__ == "__main__":
    unittest.main()
