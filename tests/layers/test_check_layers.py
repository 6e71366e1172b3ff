"""scripts/check-layers over small source trees: what it refuses, what it lets through."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

CHECKER = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-layers"


def check(files):
    """Runs the checker on a tree of {path under src/: text}; returns (exit code, stderr)."""
    with tempfile.TemporaryDirectory() as root:
        src = pathlib.Path(root) / "src"
        for name, text in files.items():
            path = src / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        stamp = pathlib.Path(root) / "stamp"
        run = subprocess.run([sys.executable, CHECKER, src, stamp], capture_output=True, text=True,
                             timeout=60)
        if run.returncode == 0:
            assert stamp.exists(), "a passing check leaves its stamp"
        else:
            assert not stamp.exists(), "a failing check leaves no stamp"
        return run.returncode, run.stderr


class CheckLayers(unittest.TestCase):
    def test_includes_that_reach_upward_fail_with_file_and_line(self):
        cases = [
            ("util/text.cpp", '#include "net/packet.h"', "util must not include net/packet.h"),
            ("net/io.cpp", '#include "client/client.h"', "net must not include client/client.h"),
            ("net/io.h", '#include "main/run.h"', "net must not include main/run.h"),
            ("net/io.cpp", '#include "platform/qt/qt_platform.h"', "platform/qt/qt_platform.h"),
            ("platform/window.h", '#include "client/window.h"', "must not include client/window.h"),
            ("client/tray.cpp", '#include "main/options.h"', "must not include main/options.h"),
            ("client/tray.cpp", '#  include "platform/pulse/tone_bell.h"', "platform/pulse"),
            ("main/run.cpp", '#include "platform/qt/qt_platform.h"', "platform/qt/qt_platform.h"),
            ("platform/pulse/out.cpp", '#include "client/audio.h"', "client/audio.h"),
            ("client/audio.cpp", "#include <pulse/error.h>", "<pulse/error.h>"),
            ("net/tls.cpp", "#include <X11/Xlib.h>", "<X11/Xlib.h>"),
            ("main/run.cpp", "#include <xcb/xcb.h>", "<xcb/xcb.h>"),
            ("client/window.cpp", "#include <QWindow>", "<QWindow>"),
            ("util/log.cpp", "#include <QtCore/QString>", "<QtCore/QString>"),
        ]
        for file, include, expected in cases:
            with self.subTest(file=file, include=include):
                code, errors = check({file: f"// first line\n{include}\n"})
                self.assertEqual(code, 1)
                self.assertIn(f"src/{file}:2: ", errors)
                self.assertIn(expected, errors)

    def test_includes_downward_and_in_the_platform_libraries_pass(self):
        tree = {
            "main.cpp": '#include "platform/qt/qt_platform.h"\n#include "main/run.h"\n',
            "main/run.cpp": '#include "client/client.h"\n#include "platform/event_loop.h"\n',
            "client/client.cpp": '#include "net/io.h"\n#include "util/log.h"\n#include <queue>\n',
            "net/io.h": '#include "platform/event_loop.h"\n#include "util/result.h"\n',
            "platform/event_loop.h": '#include "net/packet.h"\n',
            "platform/qt/qt_window.cpp": '#include <QWindow>\n#include <X11/Xlib.h>\n'
                                         '#include "platform/window.h"\n#include "util/log.h"\n',
            "platform/pulse/out.cpp": '#include <pulse/stream.h>\n#include "net/packet.h"\n',
            "util/log.cpp": '#include "util/fatal.h"\n#include <fmt/format.h>\n',
            "util/version.h.in": "// generated\n",
        }
        code, errors = check(tree)
        self.assertEqual((code, errors), (0, ""))

    def test_every_offence_is_reported_not_only_the_first(self):
        code, errors = check({"net/a.cpp": '#include "client/a.h"\n',
                              "util/b.cpp": '#include <pulse/error.h>\n'})
        self.assertEqual(code, 1)
        self.assertIn("src/net/a.cpp:1:", errors)
        self.assertIn("src/util/b.cpp:1:", errors)


if __name__ == "__main__":
    unittest.main()
