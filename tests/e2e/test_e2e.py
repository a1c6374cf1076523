#!/usr/bin/python3
"""End-to-end tests of ombrix: the real executable, a fresh working folder per
run, a private Xvfb for the whole suite.

    /usr/bin/python3 tests/e2e/test_e2e.py --exe build/ombrix [unittest options]

Needs Debian's python3 (Pillow, numpy, python3-xlib), Xvfb and xdotool.
--font names the TrueType font copied into each working folder as
"Aaargh.ttf" (default: assets/Aaargh.ttf of this repository).

A sanitizer build runs the same way; libX11's own small leaks at exit are
suppressed with
    LSAN_OPTIONS=suppressions=$PWD/tests/e2e/lsan.supp:print_suppressions=0
"""

import argparse
import atexit
import io
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import numpy
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import pictures  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
EXE = None
FONT = REPO / "assets" / "Aaargh.ttf"
XSERVER = harness.XServer()
DISPLAY = None
SCRATCH = None  # one folder for the whole run, so an interrupted run leaves nothing behind

# --------------------------------------------------------------------------
# Lines the tool prints

START = b"DEBUG:  Attempting to Init SDL \n"
SURVEY = (b"DEBUG:  Available Fullscreen Video Modes: \n"
          b"        1024 x 768\n"
          b"DEBUG:  Fullscreen Resolutions Available: 1 \n")
NO_SETTINGS = b"ERROR:  SDL.ReadConfig -> Unable to Read From File: Video_Settings.cfg - Reverting to Defaults\n"
DEFAULT_WINDOW = b"DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
WINDOW_REFUSED = b"CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n"
WINDOW_CREATED = b"DEBUG:  SDL Window Created Sucessfully \n"
NO_DEFAULT_WINDOW = b"SUPER CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window with Default Values \n"
TITLE = b"DEBUG:  Setting Window Title \n"
STARTED = b"DEBUG:  SDL Initialized \n"
TTF = b"DEBUG:  Attempting to Init SDL_TTF \nDEBUG:  SDL_TTF Initialized sucessfully \n"
NO_FONT = b"CRITICAL EXISTANCE FAILURE: TTF Failed to Load: Aaargh.ttf\n"
NULL_FONT = b"CRITICAL EXISTANCE FAILURE: Attempting to draw NULL font \n"
ESCAPE = b"DEBUG:  Escape Key Exit Command Received \n"
CLOSE = b"DEBUG:  Close Button Exit Command Received \n"
CLEANED_UP = b"DEBUG:  Libraries Cleaned Up, Exiting Program \n"
NO_PICTURE = b"ERROR:  No picture passed to program \n"
WARN_24 = b"WARNING: Using a 24-bit image - surface->get_pixel\n"

DEFAULT_SETTINGS = b"800\n600\n32\n0\n"
STARTUP_DEFAULT = START + SURVEY + NO_SETTINGS + DEFAULT_WINDOW + TITLE + STARTED


def startup_with_settings(w, h, bpp):
    return (START + SURVEY + b"DEBUG:  Attempting to make SDL Window at %d x %d, %d bit depth \n" % (w, h, bpp)
            + WINDOW_CREATED + TITLE + STARTED)


def startup_refused(w, h, bpp):
    return (START + SURVEY + b"DEBUG:  Attempting to make SDL Window at %d x %d, %d bit depth \n" % (w, h, bpp)
            + WINDOW_REFUSED + DEFAULT_WINDOW + TITLE + STARTED)


CAPTION = re.compile(r"^Ombrix - (\d+)/60 fps - Min:(\d+)ms Max:(\d+)ms Avg:(\d+\.\d{6})ms$")
FPS_LINE = re.compile(rb"^FPS:(\d+)/60 fps - Min:(\d+)ms Max:(\d+)ms Avg:(\d+\.\d{6})ms \n$")
LOAD_ERROR = "ERROR:  Unable to load picture: {} - "

# Frames per statistics window that still count as "about 60" on a busy machine.
STEADY_FRAMES = range(54, 61)


# --------------------------------------------------------------------------
# What a test does with the window once it is up


def press(*keys):
    def interact(s):
        for k in keys:
            s.key(k)
    return interact


def key(name):
    return lambda s: s.key(name)


def stamped_key(name, time_ms):
    return lambda s: s.stamped_key(name, time_ms)


def close_request(s):
    s.close()


def queued(*events):
    """Sends the events while the tool is stopped, so one pass drains them all."""
    def interact(s):
        s.hold()
        try:
            for send in events:
                send(s)
        finally:
            s.release()
    return interact


# --------------------------------------------------------------------------


def _remove_scratch():
    if SCRATCH is not None:
        shutil.rmtree(SCRATCH, ignore_errors=True)


def setUpModule():
    global DISPLAY, SCRATCH
    SCRATCH = Path(tempfile.mkdtemp(prefix="ombrix-e2e-"))
    atexit.register(_remove_scratch)  # also after an interrupt or SIGTERM
    DISPLAY = XSERVER.start()
    unittest.addModuleCleanup(XSERVER.stop)
    atexit.register(XSERVER.stop)


def as_text(data):
    return data.decode("utf-8", "surrogateescape")


class ToolTest(unittest.TestCase):
    maxDiff = None

    def work_folder(self, font=True, settings=None, earlier_chart=None):
        root = Path(tempfile.mkdtemp(dir=SCRATCH))
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        folder = root / "work"
        folder.mkdir()
        if font:
            shutil.copyfile(FONT, folder / "Aaargh.ttf")
        if settings is not None:
            (folder / "Video_Settings.cfg").write_bytes(settings)
        if earlier_chart is not None:
            (folder / "output.bmp").write_bytes(earlier_chart)
        return folder

    def run_tool(self, folder, args, interact=None, display=True, **kw):
        return harness.run_tool(EXE, folder, args, display=DISPLAY if display else None,
                                interact=interact, **kw)

    def assertOutput(self, actual, expected, what):
        self.assertMultiLineEqual(as_text(actual), as_text(expected), f"{what} differs from what was expected")

    def assertClean(self, run, status=0):
        self.assertGreaterEqual(run.status, 0, f"expected a normal exit, the tool died from signal {-run.status}")
        self.assertEqual(run.status, status, f"expected exit status {status}; stderr ends {run.stderr[-300:]!r}")

    def assertChart(self, data, census, with_text=True):
        """output.bmp read back: 185 wide, a 25-pixel band per colour, the
        swatch in the colour, white text (or nothing) on black beside it."""
        self.assertIsNotNone(data, "expected output.bmp to be written")
        img = Image.open(io.BytesIO(data))
        self.assertEqual(img.format, "BMP", "expected output.bmp to be a BMP file")
        n = len(census)
        self.assertEqual(img.size, (185, 25 * n), f"expected a 185 x {25 * n} chart for {n} colours")
        px = numpy.asarray(img.convert("RGB")).astype(int)
        for k, (r, g, b, count) in enumerate(census):
            band = px[25 * k:25 * k + 25]
            swatch = band[:, :25]
            self.assertTrue((swatch == (r, g, b)).all(),
                            f"expected band {k}'s swatch to be all ({r}, {g}, {b}), "
                            f"found colours {numpy.unique(swatch.reshape(-1, 3), axis=0).tolist()}")
            text = band[:, 25:]
            black = (text == 0).all(axis=2)
            white = (text == 255).all(axis=2)
            if with_text:
                self.assertTrue((black | white).all(),
                                f"expected only black background and white text beside band {k}'s swatch")
                self.assertTrue(white.any(), f"expected white text in band {k} ({r} {g} {b} | {count})")
            else:
                self.assertTrue(black.all(), f"expected band {k} to be black beside its swatch (no font)")


# --------------------------------------------------------------------------


class RunEnding(ToolTest):
    """The default run with no settings file, ended in each way a user can."""

    def test_quit_requests(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        cases = [
            ("Escape as soon as the window is up", press("Escape"), [ESCAPE]),
            ("close button", close_request, [CLOSE]),
            ("Shift+Escape", press("shift+Escape"), [ESCAPE]),
            ("close then Escape in one pass", queued(close_request, key("Escape")), [CLOSE, ESCAPE]),
            ("Escape then close in one pass", queued(key("Escape"), close_request), [ESCAPE, CLOSE]),
            ("Escape twice in one pass",
             queued(stamped_key("Escape", 1000), stamped_key("Escape", 1500)), [ESCAPE, ESCAPE]),
            ("another key, then Escape, in one pass", queued(key("a"), key("Escape")), [ESCAPE]),
        ]
        for name, interact, quit_lines in cases:
            with self.subTest(name):
                folder = self.work_folder()
                pictures.save(img, folder / "pic.png")
                run = self.run_tool(folder, ["pic.png"], interact)
                self.assertClean(run)
                self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF
                                  + b"".join(quit_lines) + CLEANED_UP, "stdout")
                self.assertOutput(run.stderr, pictures.progress(2), "stderr")
                self.assertEqual(run.file("Video_Settings.cfg"), DEFAULT_SETTINGS,
                                 "expected the settings file written with the defaults 800/600/32/0")
                self.assertChart(run.file("output.bmp"), census)

    def test_no_picture_argument(self):
        folder = self.work_folder()
        run = self.run_tool(folder, [])
        self.assertClean(run, 255)
        self.assertOutput(run.stderr, NO_PICTURE, "stderr")
        self.assertOutput(run.stdout, STARTUP_DEFAULT, "stdout (start-up only, no closing line)")
        self.assertEqual(run.file("Video_Settings.cfg"), DEFAULT_SETTINGS,
                         "expected start-up to have written the default settings before the argument check")
        self.assertIsNone(run.file("output.bmp"), "expected no chart without a picture")


class FrameRate(ToolTest):

    def test_caption_reports_about_60_fps(self):
        folder = self.work_folder()
        pictures.save(pictures.two_by_two(), folder / "pic.png")

        def watch(s):
            seen = {"initial": s.caption()}
            deadline = time.monotonic() + 6
            while time.monotonic() < deadline:
                c = s.caption()
                if c and CAPTION.match(c):
                    seen["first"] = c
                    break
                time.sleep(0.05)
            if "first" in seen:
                time.sleep(1.2)  # at least one more statistics window closes
                seen["later"] = s.caption()
            s.key("Escape")
            return seen

        run = self.run_tool(folder, ["pic.png"], watch)
        self.assertClean(run)
        seen = run.notes
        self.assertEqual(seen["initial"], "Ombrix", "expected the plain title before the first second is over")
        self.assertIn("first", seen, "expected the caption to show frame statistics within the first seconds")
        first = CAPTION.match(seen["first"])
        self.assertEqual(first.group(2), "0", f"expected Min:0ms in the first report: {seen['first']!r}")
        later = CAPTION.match(seen["later"] or "")
        self.assertIsNotNone(later, f"expected a statistics caption a second later, got {seen['later']!r}")
        for report in (first, later):
            frames, min_ms, max_ms, avg = (int(report.group(1)), int(report.group(2)),
                                           int(report.group(3)), float(report.group(4)))
            self.assertLessEqual(frames, 60, f"expected at most 60 passes per window: {report.group(0)!r}")
            self.assertTrue(max_ms == 0 or max_ms >= 17,
                            f"expected Max to be 0 or a pass of 17 ms or more: {report.group(0)!r}")
        frames, min_ms, max_ms, avg = (int(later.group(1)), int(later.group(2)),
                                       int(later.group(3)), float(later.group(4)))
        self.assertIn(frames, STEADY_FRAMES, f"expected about 60/60 fps after the first second: {later.group(0)!r}")
        self.assertLessEqual(min_ms, avg, f"expected Min no larger than Avg: {later.group(0)!r}")
        self.assertLess(avg, 17.0, f"expected passes well within the frame budget: {later.group(0)!r}")
        # Windowed: the report goes to the caption, nothing to stdout.
        census = pictures.column_major_census(pictures.two_by_two())
        self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF + ESCAPE + CLEANED_UP,
                          "stdout")


class SettingsFile(ToolTest):

    def test_settings_files(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        tail = pictures.listing(census) + TTF
        cases = [
            # name, file content, start-up lines, file afterwards, window size, full-screen
            ("one line, full-screen", b"1024 768 16 1", startup_with_settings(1024, 768, 16),
             b"1024\n768\n16\n1\n", None, True),
            ("four lines, windowed", b"640\n480\n8\n0\n", startup_with_settings(640, 480, 8),
             b"640\n480\n8\n0\n", (640, 480), False),
            ("tabs, blanks and text after the values", b"  320\t240 \r\n32 0 trailing words\n",
             startup_with_settings(320, 240, 32), b"320\n240\n32\n0\n", (320, 240), False),
            ("full-screen mode larger than the display", b"1280 1024 32 1", startup_refused(1280, 1024, 32),
             DEFAULT_SETTINGS, (800, 600), False),
            ("negative depth", b"100 100 -5 0", startup_refused(100, 100, -5), DEFAULT_SETTINGS,
             (800, 600), False),
        ]
        for name, content, startup, written, size, fullscreen in cases:
            with self.subTest(name):
                folder = self.work_folder(settings=content)
                pictures.save(img, folder / "pic.png")

                def interact(s, fullscreen=fullscreen):
                    seen = {"size": s.size()}
                    if fullscreen:
                        time.sleep(2.5)  # two statistics windows close
                        seen["caption"] = s.caption()
                    s.key("Escape")
                    return seen

                run = self.run_tool(folder, ["pic.png"], interact)
                self.assertClean(run)
                self.assertEqual(run.file("Video_Settings.cfg"), written,
                                 f"expected the settings file to read {written!r} afterwards")
                self.assertOutput(run.stderr, pictures.progress(2), "stderr")
                head = startup + tail
                self.assertOutput(run.stdout[:len(head)], head, "stdout up to the chart")
                rest = run.stdout[len(head):]
                if fullscreen:
                    self.assertEqual(run.notes["caption"], "Ombrix",
                                     "expected the plain title in full-screen (statistics go to stdout)")
                    lines = rest.splitlines(keepends=True)
                    self.assertEqual(lines[-2:], [ESCAPE, CLEANED_UP],
                                     "expected the Escape line and the closing line last")
                    reports = lines[:-2]
                    self.assertTrue(1 <= len(reports) <= 3,
                                    f"expected one FPS line per second over ~2.5 s, got {reports!r}")
                    for i, line in enumerate(reports):
                        m = FPS_LINE.match(line)
                        self.assertIsNotNone(m, f"expected an FPS line, got {line!r}")
                        self.assertIn(int(m.group(1)), range(1, 61) if i == 0 else STEADY_FRAMES,
                                      f"expected about 60 passes per second: {line!r}")
                    self.assertEqual(FPS_LINE.match(reports[0]).group(2), b"0",
                                     f"expected Min:0ms in the first report: {reports[0]!r}")
                else:
                    self.assertOutput(rest, ESCAPE + CLEANED_UP, "stdout after the chart")
                    self.assertEqual(run.notes["size"], size, f"expected a {size} window")
                self.assertChart(run.file("output.bmp"), census)


class Census(ToolTest):

    def test_listing_progress_and_chart(self):
        # name, picture, file name, format, extra arguments, warning lines per pixel
        cases = [
            ("2 x 2 example: column order", pictures.two_by_two(), "pic.png", "PNG", [], b""),
            ("1 x 1", Image.new("RGBA", (1, 1), (9, 8, 7, 255)), "dot.png", "PNG", [], b""),
            ("colours differing in alpha only are one", pictures.mixed(), "mixed.png", "PNG", [], b""),
            ("one colour, wide", Image.new("RGBA", (40, 3), (200, 10, 10, 255)), "wide.png", "PNG", [], b""),
            ("24-bit PNG warns per pixel", pictures.mixed().convert("RGB"), "rgb.png", "PNG", [], WARN_24),
            ("24-bit BMP", pictures.mixed(5, 4, seed=3).convert("RGB"), "rgb.bmp", "BMP", [], WARN_24),
            # Palette-indexed pictures are listed with their palette's colours.
            ("palette PNG", pictures.palette_picture(), "pal.png", "PNG", [], b""),
            ("GIF", pictures.palette_picture(), "pal.gif", "GIF", [], b""),
            ("arguments after the picture are ignored", pictures.two_by_two(), "pic.png", "PNG",
             ["other.png", "--help"], b""),
        ]
        for name, img, filename, fmt, extra, warning in cases:
            with self.subTest(name):
                folder = self.work_folder()
                pictures.save(img, folder / filename, fmt)
                # The oracle reads back what was written, as a decoder sees it.
                with Image.open(folder / filename) as written:
                    census = pictures.column_major_census(written)
                    w, h = written.size
                run = self.run_tool(folder, [filename] + extra, press("Escape"))
                self.assertClean(run)
                self.assertOutput(run.stdout, STARTUP_DEFAULT + warning * (w * h) + pictures.listing(census)
                                  + TTF + ESCAPE + CLEANED_UP, "stdout")
                self.assertOutput(run.stderr, pictures.progress(w), "stderr")
                self.assertEqual(sum(c[3] for c in census), w * h, "oracle: counts add up to the pixels")
                self.assertChart(run.file("output.bmp"), census)

    def test_without_font(self):
        img = pictures.mixed()
        census = pictures.column_major_census(img)
        folder = self.work_folder(font=False)
        pictures.save(img, folder / "mixed.png")
        run = self.run_tool(folder, ["mixed.png"], press("Escape"))
        self.assertClean(run)
        self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF + NO_FONT
                          + NULL_FONT * len(census) + ESCAPE + CLEANED_UP, "stdout")
        self.assertOutput(run.stderr, pictures.progress(img.size[0]), "stderr")
        self.assertChart(run.file("output.bmp"), census, with_text=False)


class UnloadablePictures(ToolTest):

    def test_unloadable_pictures(self):
        earlier = io.BytesIO()
        Image.new("RGB", (5, 5), (1, 2, 3)).save(earlier, "BMP")
        earlier = earlier.getvalue()
        cases = [
            ("missing file", pictures.write_missing),
            ("empty file", pictures.write_empty),
            ("text file named .png", pictures.write_text_as_png),
            ("PNG cut in half", pictures.write_half_png),
            ("20-byte BMP", pictures.write_short_bmp),
            ("GIF 16384 pixels wide", pictures.write_wide_gif),
            ("XPM cut after its colour table", pictures.write_cut_xpm),
            ("directory", pictures.write_directory),
        ]
        for name, make in cases:
            with self.subTest(name):
                folder = self.work_folder(earlier_chart=earlier)
                arg = make(folder)
                run = self.run_tool(folder, [arg])
                self.assertClean(run, 255)
                err = as_text(run.stderr)
                self.assertEqual(err.count("\n"), 1, f"expected exactly one line on stderr, got {err!r}")
                self.assertTrue(err.startswith(LOAD_ERROR.format(arg)) and err.endswith(" \n"),
                                f"expected {LOAD_ERROR.format(arg)!r}, a reason and ' \\n', got {err!r}")
                self.assertGreater(len(err), len(LOAD_ERROR.format(arg)) + 2,
                                   f"expected a reason after the path, got {err!r}")
                self.assertIn(run.stdout, (STARTUP_DEFAULT, STARTUP_DEFAULT + CLEANED_UP),
                              "expected only the start-up lines (and at most the closing line) on stdout")
                self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier output.bmp untouched")
                self.assertEqual(run.file("Video_Settings.cfg"), DEFAULT_SETTINGS,
                                 "expected start-up to have written the default settings")


class WithoutDisplay(ToolTest):

    def test_no_display_still_lists_and_charts(self):
        img = pictures.mixed()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "mixed.png")
        run = self.run_tool(folder, ["mixed.png"], display=False)
        self.assertClean(run)
        out = run.stdout
        lines = out.splitlines(keepends=True)
        self.assertIn(NO_DEFAULT_WINDOW, lines, "expected the failure line for the default window")
        self.assertLess(lines.index(NO_DEFAULT_WINDOW), lines.index(STARTED),
                        "expected the window failure during start-up")
        self.assertTrue(out.startswith(START), "expected the start-up line first")
        self.assertTrue(out.endswith(STARTED + pictures.listing(census) + TTF + CLEANED_UP),
                        "expected start-up to end, then the listing, the chart's lines and the closing line "
                        f"last, without any quit request; got {as_text(out)!r}")
        self.assertOutput(run.stderr, pictures.progress(img.size[0]), "stderr")
        self.assertIsNone(run.file("Video_Settings.cfg"), "expected no settings file: no window opened")
        self.assertChart(run.file("output.bmp"), census)


# --------------------------------------------------------------------------
# Hostile conditions: unusable displays, closed or failing standard streams,
# outputs that cannot be written or that are links, a full disk.

CHART_ERROR = "ERROR:  Unable to save the chart: output.bmp - {} \n"
STDOUT_FULL = b"ERROR:  Unable to write to standard output: No space left on device \n"
WRITE_CONFIG_ERROR = b"ERROR:  SDL.WriteConfig -> Unable to Write to File: Video_Settings.cfg\n"
USER_SETTINGS = b"1280 1024 24 1"


def shell_run(folder, script, args, interact=None, display=True, **kw):
    """Runs /bin/sh -c script with $0 the tool and args after it, so the
    script can close or redirect the tool's streams before it starts."""
    return harness.run_tool("/bin/sh", folder, ["-c", script, str(EXE)] + [str(a) for a in args],
                            display=DISPLAY if display else None, interact=interact, **kw)


class UnusableDisplay(ToolTest):

    def test_named_but_unusable_display_takes_the_no_video_path(self):
        img = pictures.mixed()
        census = pictures.column_major_census(img)
        refused = (b"DEBUG:  Attempting to make SDL Window at 1280 x 1024, 24 bit depth \n" + WINDOW_REFUSED)
        for name in ("", ":4093", "garbage:::"):
            with self.subTest(display=name):
                folder = self.work_folder(settings=USER_SETTINGS)
                pictures.save(img, folder / "mixed.png")
                run = harness.run_tool(EXE, folder, ["mixed.png"], display=name, exit_timeout=20)
                self.assertClean(run)
                self.assertNotIn(b"\x1b", run.stdout, "expected no terminal escape codes on stdout")
                self.assertOutput(run.stdout, START + b"CRITICAL EXISTANCE FAILURE: Unable to Init SDL \n"
                                  + b"DEBUG:  No Available Fullscreen Resolutions \n" + refused + DEFAULT_WINDOW
                                  + NO_DEFAULT_WINDOW + TITLE + STARTED + pictures.listing(census) + TTF
                                  + CLEANED_UP, "stdout")
                self.assertOutput(run.stderr, pictures.progress(img.size[0]), "stderr")
                self.assertEqual(run.file("Video_Settings.cfg"), USER_SETTINGS,
                                 "expected the user's settings kept: no window opened")
                self.assertChart(run.file("output.bmp"), census)


class StandardStreams(ToolTest):

    def test_closed_stream_is_never_taken_by_the_x_connection(self):
        # 5000 columns of progress lines pass stderr's buffer mid-run.
        wide = Image.new("RGBA", (5000, 1), (3, 4, 5, 255))
        cases = [
            ("stdout closed", 'exec "$0" "$@" >&-', wide, "stderr"),
            ("stderr closed", 'exec "$0" "$@" 2>&-', wide, "stdout"),
        ]
        for name, script, img, kept in cases:
            with self.subTest(name):
                census = pictures.column_major_census(img)
                folder = self.work_folder()
                pictures.save(img, folder / "pic.png")
                run = shell_run(folder, script, ["pic.png"], press("Escape"))
                self.assertClean(run)
                if kept == "stderr":
                    self.assertEqual(run.stdout, b"", "expected nothing where stdout was")
                    self.assertOutput(run.stderr, pictures.progress(img.size[0]), "stderr")
                else:
                    self.assertEqual(run.stderr, b"", "expected nothing where stderr was")
                    self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF + ESCAPE
                                      + CLEANED_UP, "stdout")
                self.assertChart(run.file("output.bmp"), census)

    def test_standard_output_on_a_full_device_fails_the_run(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        run = shell_run(folder, 'exec "$0" "$@" >/dev/full', ["pic.png"], press("Escape"))
        self.assertClean(run, 1)
        self.assertOutput(run.stderr, pictures.progress(2) + STDOUT_FULL, "stderr")
        self.assertChart(run.file("output.bmp"), census)

    def test_no_picture_with_standard_output_on_a_full_device(self):
        folder = self.work_folder()
        run = shell_run(folder, 'exec "$0" "$@" >/dev/full', [])
        self.assertClean(run, 255)
        self.assertOutput(run.stderr, NO_PICTURE + STDOUT_FULL, "stderr: the usage error, then the lost output")

    def test_progress_and_fps_lines_are_readable_while_the_window_is_shown(self):
        img = Image.new("RGBA", (300, 2), (90, 80, 70, 255))
        cases = [("windowed", None), ("full-screen", b"1024 768 24 1")]
        for name, settings in cases:
            with self.subTest(name):
                folder = self.work_folder(settings=settings)
                pictures.save(img, folder / "pic.png")
                out_path = folder.parent / (folder.name + ".stdout")
                err_path = folder.parent / (folder.name + ".stderr")

                def watch(s):
                    seen = {"stderr": err_path.read_bytes()}
                    if settings is not None:
                        time.sleep(2.5)  # at least one statistics window closes
                        seen["stdout"] = out_path.read_bytes()
                    s.key("Escape")
                    return seen

                run = self.run_tool(folder, ["pic.png"], watch)
                self.assertClean(run)
                self.assertOutput(run.notes["stderr"], pictures.progress(300),
                                  "stderr while the window is shown")
                if settings is not None:
                    shown = run.notes["stdout"].splitlines(keepends=True)
                    self.assertTrue(shown and FPS_LINE.match(shown[-1]),
                                    f"expected an FPS line on stdout while the window is shown: {shown[-3:]!r}")


class UnwritableOutputs(ToolTest):

    def test_chart_in_the_way_of_a_folder(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        (folder / "output.bmp").mkdir()
        (folder / "output.bmp" / "keep").write_bytes(b"kept")
        run = self.run_tool(folder, ["pic.png"], press("Escape"))
        self.assertClean(run, 1)
        self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF + ESCAPE + CLEANED_UP,
                          "stdout (the run goes on: window and loop as usual)")
        self.assertOutput(run.stderr, pictures.progress(2) + CHART_ERROR.format("Is a directory").encode(),
                          "stderr")
        self.assertEqual((folder / "output.bmp" / "keep").read_bytes(), b"kept", "expected the folder untouched")
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         ["Aaargh.ttf", "Video_Settings.cfg", "output.bmp", "pic.png"],
                         "expected no temporary file left behind")

    def test_links_are_replaced_never_written_through(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        elsewhere = folder.parent / "elsewhere"
        elsewhere.mkdir()
        (elsewhere / "precious.bmp").write_bytes(b"someone else's file")
        (elsewhere / "settings.cfg").write_bytes(b"640 480 24 0")
        (folder / "output.bmp").symlink_to(elsewhere / "precious.bmp")
        (folder / "Video_Settings.cfg").symlink_to(elsewhere / "settings.cfg")
        run = self.run_tool(folder, ["pic.png"], press("Escape"))
        self.assertClean(run)
        self.assertOutput(run.stdout, startup_with_settings(640, 480, 24) + pictures.listing(census) + TTF
                          + ESCAPE + CLEANED_UP, "stdout (settings read through the link)")
        self.assertEqual((elsewhere / "precious.bmp").read_bytes(), b"someone else's file",
                         "expected the file output.bmp linked to unchanged")
        self.assertEqual((elsewhere / "settings.cfg").read_bytes(), b"640 480 24 0",
                         "expected the file Video_Settings.cfg linked to unchanged")
        for name in ("output.bmp", "Video_Settings.cfg"):
            self.assertFalse((folder / name).is_symlink(), f"expected {name} to be a file of its own now")
        self.assertEqual(run.file("Video_Settings.cfg"), b"640\n480\n24\n0\n", "expected the settings written")
        self.assertChart(run.file("output.bmp"), census)

    def test_settings_file_as_fifo_never_blocks(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        os.mkfifo(folder / "Video_Settings.cfg")
        run = self.run_tool(folder, ["pic.png"], press("Escape"), window_timeout=10)
        self.assertClean(run, 1)
        self.assertOutput(run.stdout, START + SURVEY + NO_SETTINGS + DEFAULT_WINDOW + WRITE_CONFIG_ERROR + TITLE
                          + STARTED + pictures.listing(census) + TTF + ESCAPE + CLEANED_UP,
                          "stdout: not read, not replaced, the defaults used")
        self.assertTrue(stat.S_ISFIFO(os.lstat(folder / "Video_Settings.cfg").st_mode), "expected the FIFO kept")
        self.assertChart(run.file("output.bmp"), census)

    def test_full_disk_keeps_the_earlier_chart(self):
        if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
            self.skipTest("no private mount namespace for a small tmpfs (needs root)")
        img = pictures.noisy(40, 1).convert("RGBA")  # 40 colours: a chart of about 550 KB
        census = pictures.column_major_census(img)
        earlier = io.BytesIO()
        Image.new("RGB", (5, 5), (1, 2, 3)).save(earlier, "BMP")
        earlier = earlier.getvalue()
        stage = self.work_folder(earlier_chart=earlier)
        pictures.save(img, stage / "pic.png")
        folder = stage.parent / "disk"
        folder.mkdir()
        # The font takes most of it; the settings fit, the chart does not.
        size_kib = (FONT.stat().st_size + 64 * 1024) // 1024
        script = ('mount -t tmpfs -o size=%dk ombrix-full "$PWD" && cp -a "$1"/. "$PWD"/ && cd "$PWD" '
                  '&& "$0" pic.png; s=$?; cp output.bmp "$1"/after.bmp; ls -A >"$1"/after.list; exit $s'
                  % size_kib)
        run = harness.run_tool("unshare", folder, ["-m", "--propagation", "private", "/bin/sh", "-c", script,
                                                   str(EXE), str(stage)],
                               display=DISPLAY, interact=press("Escape"))
        self.assertClean(run, 1)
        self.assertOutput(run.stderr, pictures.progress(40)
                          + CHART_ERROR.format("No space left on device").encode(), "stderr")
        self.assertOutput(run.stdout, STARTUP_DEFAULT + pictures.listing(census) + TTF + ESCAPE + CLEANED_UP,
                          "stdout")
        self.assertEqual((stage / "after.bmp").read_bytes(), earlier, "expected the earlier output.bmp untouched")
        self.assertEqual(sorted((stage / "after.list").read_text().split()),
                         ["Aaargh.ttf", "Video_Settings.cfg", "output.bmp", "pic.png"],
                         "expected no temporary file left on the full disk")


def _interrupted(signum, frame):
    raise KeyboardInterrupt  # unittest lets this through; atexit then stops Xvfb


def main():
    global EXE, FONT
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], add_help=False)
    parser.add_argument("--exe", required=True, help="the ombrix executable to test")
    parser.add_argument("--font", default=str(FONT), help="TrueType font to use as Aaargh.ttf")
    ours, rest = parser.parse_known_args()
    EXE = Path(ours.exe).resolve()
    FONT = Path(ours.font).resolve()
    if not EXE.is_file():
        parser.error(f"no executable at {EXE}")
    signal.signal(signal.SIGTERM, _interrupted)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
