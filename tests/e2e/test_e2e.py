#!/usr/bin/python3
# SPDX-License-Identifier: MIT
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
import ctypes
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
DECODER_CRASHED = r"^the decoder crashed \(signal \d+, [^)]+\)$"  # says it crashed, with the signal
LISTING_LINE = re.compile(rb"^\d+ \d+ \d+ \| (\d+) $", re.MULTILINE)

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


class _Surface(ctypes.Structure):
    """The leading fields of SDL 1.2's SDL_Surface."""
    _fields_ = [("flags", ctypes.c_uint32), ("format", ctypes.c_void_p), ("w", ctypes.c_int),
                ("h", ctypes.c_int), ("pitch", ctypes.c_uint16), ("pixels", ctypes.c_void_p)]


class _Colour(ctypes.Structure):
    _fields_ = [("r", ctypes.c_uint8), ("g", ctypes.c_uint8), ("b", ctypes.c_uint8), ("unused", ctypes.c_uint8)]


_TEXT_POINTS = 16
_text_font = {}


def solid_text_mask(words):
    """Where SDL_ttf's solid rendering of words in FONT at 16 points puts a
    glyph pixel, as a (rows, columns) boolean array. SDL_ttf is called here
    directly, so the reference shares the library with the tool but none of
    the tool's code; Pillow's FreeType rendering would differ pixel by pixel."""
    if "lib" not in _text_font:
        lib = ctypes.CDLL("libSDL_ttf-2.0.so.0")
        lib.TTF_Init.restype = ctypes.c_int
        lib.TTF_OpenFont.restype = ctypes.c_void_p
        lib.TTF_OpenFont.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.TTF_RenderText_Solid.restype = ctypes.POINTER(_Surface)
        lib.TTF_RenderText_Solid.argtypes = [ctypes.c_void_p, ctypes.c_char_p, _Colour]
        sdl = ctypes.CDLL("libSDL-1.2.so.0")
        sdl.SDL_FreeSurface.argtypes = [ctypes.POINTER(_Surface)]
        if lib.TTF_Init() != 0:
            raise RuntimeError("SDL_ttf did not start")
        font = lib.TTF_OpenFont(str(FONT).encode(), _TEXT_POINTS)
        if not font:
            raise RuntimeError(f"SDL_ttf could not open {FONT}")
        _text_font.update(lib=lib, sdl=sdl, font=font)
    lib, sdl = _text_font["lib"], _text_font["sdl"]
    surface = lib.TTF_RenderText_Solid(_text_font["font"], words.encode(), _Colour(255, 255, 255, 0))
    if not surface:
        raise RuntimeError(f"SDL_ttf could not render {words!r}")
    s = surface.contents
    raw = ctypes.string_at(s.pixels, s.pitch * s.h)
    # 8 bits per pixel; palette index 0 is the see-through background.
    mask = numpy.frombuffer(raw, dtype=numpy.uint8).reshape(s.h, s.pitch)[:, :s.w] != 0
    sdl.SDL_FreeSurface(surface)
    return mask


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
        swatch in the colour, and beside it on black either the words
        "R G B | COUNT" in white exactly as SDL_ttf draws them, or nothing."""
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
                words = f"{r} {g} {b} | {count}"
                mask = solid_text_mask(words)
                expected = numpy.zeros(white.shape, dtype=bool)
                rows, cols = min(mask.shape[0], expected.shape[0]), min(mask.shape[1], expected.shape[1])
                expected[:rows, :cols] = mask[:rows, :cols]
                wrong = numpy.argwhere(white != expected)
                self.assertEqual(len(wrong), 0,
                                 f"expected band {k} to show {words!r} as SDL_ttf draws it at 16 points; "
                                 f"{len(wrong)} pixels differ, the first at column {25 + wrong[0][1]}, "
                                 f"row {25 * k + wrong[0][0]}" if len(wrong) else "")
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
                # A check of the oracle itself, not of the tool.
                self.assertEqual(sum(c[3] for c in census), w * h, "oracle: counts add up to the pixels")
                # The tool's own listing, read from its output: every pixel counted once.
                listed = LISTING_LINE.findall(run.stdout)
                self.assertEqual(len(listed), len(census), "expected one listing line per colour")
                self.assertEqual(sum(int(count) for count in listed), w * h,
                                 "expected the tool's counts to add up to the picture's pixels")
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
        # name, how the picture is made, what the reason must say (a pattern)
        cut = "^the file ends before the picture does$"
        cases = [
            ("missing file", pictures.write_missing, r"^No such file or directory$"),
            ("empty file", pictures.write_empty, r"^Unsupported image format$"),
            ("text file named .png", pictures.write_text_as_png, r"^Unsupported image format$"),
            ("PNG cut in half", pictures.write_half_png, cut),
            ("20-byte BMP", pictures.write_short_bmp, cut),
            ("GIF 16384 pixels wide", pictures.write_wide_gif,
             r"^16384 × 2 pixels; the largest picture SDL can hold is 16383 × 65535$"),
            ("PNG 20000 pixels wide", pictures.write_wide_png,
             r"^20000 × 2 pixels; the largest picture SDL can hold is 16383 × 65535$"),
            ("PNG of 16383 x 65535 RGBA pixels", pictures.write_huge_png,
             r"^16383 \u00d7 65535 pixels; too many for SDL to hold in memory$"),
            ("GIF whose image is wider than its screen", pictures.write_crashing_gif, DECODER_CRASHED),
            ("XPM cut after its colour table", pictures.write_cut_xpm, DECODER_CRASHED),
            ("directory", pictures.write_directory, r"^Is a directory$"),
            ("symbolic link to itself", pictures.write_link_loop, r"^Too many levels of symbolic links$"),
            ("FIFO nobody writes to", pictures.write_fifo, r"^Unsupported image format$"),
            ("first half of a GIF", pictures.write_half_gif, cut),
            ("first half of a JPEG", pictures.write_half_jpeg, cut),
            ("first half of a TGA", pictures.write_half_tga, cut),
            ("first half of an RLE TGA", pictures.write_half_rle_tga, cut),
            ("RLE TGA whose last packet is cut", pictures.write_cut_packet_tga, cut),
            ("ASCII PNM holding 3 of 1200 samples", pictures.write_short_pnm, cut),
            ("0 x 0 TGA", pictures.write_empty_tga, r"^the picture has no pixels$"),
            ("header-only XCF", pictures.write_header_only_xcf, r"^the picture has no pixels$"),
            ("0 x 0 LBM", pictures.write_empty_lbm, r"^the picture has no pixels$"),
            ("XCF on which the decoder loops", pictures.write_endless_xcf,
             r"^the decoder did not finish within its CPU-time budget$"),
        ]
        for name, make, reason in cases:
            with self.subTest(name):
                folder = self.work_folder(earlier_chart=earlier)
                arg = make(folder)
                run = self.run_tool(folder, [arg])
                self.assertClean(run, 255)
                err = as_text(run.stderr)
                line = re.fullmatch(re.escape(LOAD_ERROR.format(arg)) + r"(.+) \n", err)
                self.assertIsNotNone(line, f"expected one line {LOAD_ERROR.format(arg)!r}, a reason and ' \\n', "
                                           f"got {err!r}")
                self.assertRegex(line.group(1), reason, "expected the reason to say what went wrong")
                self.assertOutput(run.stdout, STARTUP_DEFAULT, "stdout (the start-up lines only)")
                self.assertEqual(decoders_left(folder), [], "expected no decoder process left behind")
                self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier output.bmp untouched")
                self.assertEqual(run.file("Video_Settings.cfg"), DEFAULT_SETTINGS,
                                 "expected start-up to have written the default settings")


def decoders_left(folder):
    """Processes still running with their working folder in folder."""
    left = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if Path(os.readlink(entry / "cwd")) == Path(folder).resolve():
                    left.append(int(entry.name))
            except OSError:
                pass
    return left


HOSTILE_DECODER_SOURCE = r"""
/* Stands in for code a crafted picture runs inside the decoder: when libpng
   reads the picture's header in a process other than the one that loaded
   this library (the decoder is a fork of the tool), it tries to create a
   file and to open an internet socket, then lets decoding go on. */
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static pid_t tool;
__attribute__((constructor)) static void remember_tool(void) { tool = getpid(); }

void png_read_info(void *png, void *info)
{
    if (getpid() != tool) {
        int fd = open("escaped-decoder.txt", O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) { write(fd, "file\n", 5); close(fd); }
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s >= 0) {
            fd = open("escaped-decoder.txt", O_WRONLY | O_APPEND | O_CREAT, 0644);
            if (fd >= 0) { write(fd, "socket\n", 7); close(fd); }
        }
    }
    void (*real)(void *, void *) = (void (*)(void *, void *))dlsym(RTLD_NEXT, "png_read_info");
    real(png, info);
}
"""


def sanitizer_build():
    r = subprocess.run(["ldd", str(EXE)], capture_output=True, text=True)
    return "libasan" in r.stdout


class DecoderProcess(ToolTest):
    """The decoder as a separate, confined process: hangs, signals, hostile code."""

    def test_sigterm_while_decoding_ends_the_run(self):
        earlier = b"BM an earlier chart"
        folder = self.work_folder(earlier_chart=earlier)
        name = pictures.write_endless_xcf(folder)
        seen = {}

        def terminate(s):
            seen["sent"] = time.monotonic()
            os.kill(s.proc.pid, signal.SIGTERM)
            s.proc.wait(timeout=5)
            seen["ended"] = time.monotonic()
            return seen

        run = self.run_tool(folder, [name], terminate)
        self.assertEqual(run.status, 128 + signal.SIGTERM, "expected status 128 + SIGTERM")
        self.assertLess(run.notes["ended"] - run.notes["sent"], 1.0, "expected the run to end within a second")
        self.assertOutput(run.stdout, STARTUP_DEFAULT, "stdout (start-up only, no listing)")
        self.assertOutput(run.stderr, b"", "stderr")
        self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier output.bmp untouched")
        time.sleep(0.2)
        self.assertEqual(decoders_left(folder), [], "expected the decoder ended with the tool")

    def test_a_killed_tool_takes_its_decoder_along(self):
        folder = self.work_folder()
        name = pictures.write_endless_xcf(folder)

        def kill_tool(s):
            os.kill(s.proc.pid, signal.SIGKILL)
            s.proc.wait(timeout=5)

        run = self.run_tool(folder, [name], kill_tool)
        self.assertEqual(run.status, -signal.SIGKILL, "the tool was killed")
        deadline = time.monotonic() + 2
        while decoders_left(folder) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(decoders_left(folder), [], "expected no decoder spinning on after the tool died")

    def test_hostile_code_in_the_decoder_gets_nothing(self):
        if sanitizer_build():
            self.skipTest("AddressSanitizer must be the first library loaded, so nothing can be preloaded")
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            self.skipTest("no C compiler to build the stand-in library")
        folder = self.work_folder()
        source = folder.parent / "hostile.c"
        library = folder.parent / "hostile.so"
        source.write_text(HOSTILE_DECODER_SOURCE)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], check=True)
        pictures.save(pictures.two_by_two(), folder / "pic.png")
        env = dict(os.environ, LD_PRELOAD=str(library))
        run = self.run_tool(folder, ["-n", "pic.png"], env=env)
        self.assertIsNone(run.file("escaped-decoder.txt"), "expected the decoder unable to create a file")
        self.assertClean(run, 255)
        self.assertOutput(run.stderr, b"ERROR:  Unable to load picture: pic.png - the decoder tried to do "
                          b"something it is not allowed to do (a blocked system call) \n", "stderr")
        self.assertIsNone(run.file("output.bmp"), "expected no chart")

    def test_a_crashing_decoder_leaves_no_core_file(self):
        folder = self.work_folder()
        name = pictures.write_crashing_gif(folder)
        run = shell_run(folder, 'ulimit -c unlimited 2>/dev/null; exec "$0" "$@"', ["-n", name], display=False)
        self.assertClean(run, 255)
        self.assertRegex(as_text(run.stderr), "^" + re.escape(LOAD_ERROR.format(name)) + DECODER_CRASHED[1:-1] + r" \n$",
                         "stderr: the crash reported")
        self.assertEqual(folder_listing(folder), ["Aaargh.ttf", name], "expected no core file beside the picture")

    def test_picture_from_a_pipe(self):
        img = pictures.mixed(6, 5, seed=9)
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        with open(folder / "pic.png", "rb") as picture:
            r = subprocess.run([str(EXE), "-n", "-q", "-"], cwd=folder, stdin=picture, capture_output=True,
                               timeout=30, env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        self.assertEqual(r.returncode, 0, f"expected status 0; stderr {r.stderr!r}")
        self.assertOutput(r.stdout, pictures.listing(census), "stdout (the listing of the piped picture)")
        self.assertChart((folder / "output.bmp").read_bytes(), census)


class NamesThatCannotForgeLines(ToolTest):

    def test_control_characters_in_the_path_are_escaped(self):
        folder = self.work_folder()
        name = "a\nERROR:  fake\r\x1bb.png"
        run = self.run_tool(folder, [name])
        self.assertClean(run, 255)
        self.assertOutput(run.stderr, b"ERROR:  Unable to load picture: a\\nERROR:  fake\\r\\eb.png - "
                          b"No such file or directory \n", "stderr: one line, the name escaped")


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
                    # The window maps a moment before the tool takes the
                    # decoder's census in, so the lines may follow it; they
                    # must be readable before Escape ends the run.
                    expected = pictures.progress(300)
                    deadline = time.monotonic() + 10
                    err = err_path.read_bytes()
                    while err != expected and time.monotonic() < deadline:
                        time.sleep(0.05)
                        err = err_path.read_bytes()
                    seen = {"stderr": err}
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


class OutOfMemory(ToolTest):

    def test_no_memory_for_the_census_is_one_fatal_line(self):
        if sanitizer_build():
            self.skipTest("AddressSanitizer reserves far more address space than any limit tried here")
        img = pictures.mixed()
        census = pictures.column_major_census(img)
        earlier = b"BM an earlier chart"
        outcomes = []
        # Address-space limits from too small for the census's table to plenty;
        # every run either lists the picture or ends with the one fatal line.
        for limit_kb in range(100000, 320001, 20000):
            with self.subTest(limit_kb=limit_kb):
                folder = self.work_folder(earlier_chart=earlier)
                pictures.save(img, folder / "mixed.png")
                run = shell_run(folder, f'ulimit -v {limit_kb}; exec "$0" "$@"', ["-n", "-q", "mixed.png"],
                                display=False, exit_timeout=20)
                if run.status == 0:
                    outcomes.append("listed")
                    self.assertOutput(run.stdout, pictures.listing(census), "stdout")
                    self.assertChart(run.file("output.bmp"), census)
                else:
                    outcomes.append("out of memory")
                    self.assertClean(run, 255)
                    self.assertOutput(run.stderr, b"CRITICAL EXISTANCE FAILURE: Out of memory for the colour list \n",
                                      "stderr: the one fatal line")
                    self.assertOutput(run.stdout, b"", "stdout: no listing")
                    self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier chart untouched")
        self.assertIn("out of memory", outcomes, "expected some limit too small for the census")
        self.assertIn("listed", outcomes, "expected some limit large enough")


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
        self.assertClean(run, 0)
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


# --------------------------------------------------------------------------
# Options


def project_version():
    m = re.search(r"project\(ombrix VERSION (\d+\.\d+\.\d+)", (REPO / "CMakeLists.txt").read_text())
    return m.group(1)


def folder_listing(folder):
    return sorted(p.name for p in folder.iterdir())


def read_palette(data):
    """The header lines and the (r, g, b, name) entries of a GIMP palette."""
    lines = data.decode("ascii").split("\n")
    header, body = lines[:4], lines[4:]
    entries = []
    for line in body:
        if line == "":
            continue
        numbers, name = line.split("\t")
        r, g, b = (int(numbers[i:i + 3]) for i in (0, 4, 8))
        entries.append((r, g, b, name, numbers))
    return header, entries


class HelpAndVersion(ToolTest):

    def test_help_and_version_start_nothing(self):
        cases = [
            ("--help", ["--help"], "usage"),
            ("-h", ["-h"], "usage"),
            ("-h before a picture", ["-h", "pic.png"], "usage"),
            ("--version", ["--version"], "version"),
            ("--version before a bad option", ["--version", "--bogus"], "version"),
        ]
        earlier = pictures.two_by_two().tobytes()
        for name, args, kind in cases:
            with self.subTest(name):
                folder = self.work_folder(earlier_chart=earlier)
                before = folder_listing(folder)
                # No interaction: with a window the run could not end by itself.
                run = self.run_tool(folder, args, exit_timeout=10)
                self.assertClean(run, 0)
                self.assertEqual(run.stderr, b"", "expected nothing on stderr")
                if kind == "usage":
                    out = as_text(run.stdout)
                    self.assertTrue(out.startswith("Usage: ombrix [OPTION]... PICTURE\n"),
                                    f"expected the usage line first, got {out[:80]!r}")
                    for option in ("-h, --help", "--version", "-n, --no-window", "-q, --quiet",
                                   "-o, --chart FILE", "-p, --palette FILE"):
                        self.assertIn(option, out, f"expected the help to list {option}")
                else:
                    self.assertEqual(run.stdout, b"ombrix %s\n" % project_version().encode(),
                                     "expected one version line with CMake's project version")
                self.assertNotIn(b"DEBUG", run.stdout, "expected SDL not to be started")
                self.assertEqual(folder_listing(folder), before, "expected no file created or removed")
                self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier output.bmp untouched")


class UsageErrors(ToolTest):

    def test_unknown_options_and_missing_names(self):
        cases = [
            ("unknown short option", ["-x", "pic.png"], "unknown option '-x'"),
            ("unknown long option", ["--bogus", "pic.png"], "unknown option '--bogus'"),
            ("a name starting with - needs --", ["-name.png"], "unknown option '-a'"),
            ("-o without a file", ["-o"], "missing file name for option '-o'"),
            ("--palette without a file", ["--palette"], "missing file name for option '--palette'"),
            ("chart and palette on one path", ["-o", "x", "-p", "x", "pic.png"],
             "the chart and the palette cannot both be written to 'x'"),
        ]
        earlier = pictures.two_by_two().tobytes()
        for name, args, words in cases:
            with self.subTest(name):
                folder = self.work_folder(earlier_chart=earlier)
                pictures.save(pictures.two_by_two(), folder / "pic.png")
                before = folder_listing(folder)
                run = self.run_tool(folder, args, exit_timeout=10)
                self.assertClean(run, 2)
                err = as_text(run.stderr)
                self.assertEqual(err.count("\n"), 1, f"expected exactly one line on stderr, got {err!r}")
                self.assertTrue(err.startswith("ombrix: ") and words in err,
                                f"expected a line naming the problem ({words!r}), got {err!r}")
                self.assertEqual(run.stdout, b"", "expected nothing on stdout (SDL never started)")
                self.assertEqual(folder_listing(folder), before, "expected no file created or removed")
                self.assertEqual(run.file("output.bmp"), earlier, "expected the earlier output.bmp untouched")


class NoWindowAndQuiet(ToolTest):

    def test_no_window_quiet_prints_only_the_listing(self):
        img = pictures.mixed(9, 6, seed=5).convert("RGB")
        census = pictures.column_major_census(img)
        for display in (True, False):
            with self.subTest(display=display):
                folder = self.work_folder()
                pictures.save(img, folder / "rgb.png")
                run = self.run_tool(folder, ["-n", "-q", "rgb.png"], display=display, exit_timeout=15)
                self.assertClean(run, 0)
                self.assertOutput(run.stdout, pictures.listing(census), "stdout (only the listing)")
                self.assertEqual(run.stderr, b"", "expected nothing on stderr")
                self.assertChart(run.file("output.bmp"), census)
                self.assertEqual(folder_listing(folder), ["Aaargh.ttf", "output.bmp", "rgb.png"],
                                 "expected only the chart written (no settings file)")

    def test_no_window_keeps_the_other_lines(self):
        img = pictures.mixed(6, 4, seed=2).convert("RGB")
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "rgb.png")
        run = self.run_tool(folder, ["--no-window", "rgb.png"], exit_timeout=15)
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, WARN_24 * (6 * 4) + pictures.listing(census) + TTF,
                          "stdout: warnings, listing and the font lines; no start-up or quit lines")
        self.assertOutput(run.stderr, pictures.progress(6), "stderr")
        self.assertChart(run.file("output.bmp"), census)
        self.assertIsNone(run.file("Video_Settings.cfg"), "expected no settings file")

    def test_no_window_errors(self):
        folder = self.work_folder()
        run = self.run_tool(folder, ["-n"], exit_timeout=10)
        self.assertClean(run, 255)
        self.assertEqual(run.stdout, b"", "expected no start-up lines without a window")
        self.assertEqual(run.stderr, NO_PICTURE, "expected the missing-picture line")
        run = self.run_tool(folder, ["-n", "-q", "missing.png"], exit_timeout=10)
        self.assertClean(run, 255)
        self.assertEqual(run.stdout, b"", "expected nothing on stdout")
        self.assertTrue(run.stderr.startswith(LOAD_ERROR.format("missing.png").encode()),
                        f"expected the load error on stderr, got {run.stderr!r}")
        self.assertEqual(folder_listing(folder), ["Aaargh.ttf"], "expected no file written")

    def test_quiet_with_window(self):
        img = pictures.mixed(5, 5, seed=9).convert("RGB")
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "rgb.png")
        run = self.run_tool(folder, ["--quiet", "rgb.png"], press("Escape"))
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, pictures.listing(census), "stdout (only the listing)")
        self.assertEqual(run.stderr, b"", "expected nothing on stderr")
        self.assertChart(run.file("output.bmp"), census)
        self.assertEqual(run.file("Video_Settings.cfg"), DEFAULT_SETTINGS, "expected the window's settings written")

    def test_quiet_font_failure_goes_to_stderr(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder(font=False)
        pictures.save(img, folder / "pic.png")
        run = self.run_tool(folder, ["-nq", "pic.png"], exit_timeout=15)
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, pictures.listing(census), "stdout (only the listing)")
        self.assertOutput(run.stderr, NO_FONT, "stderr: the font failure")
        self.assertChart(run.file("output.bmp"), census, with_text=False)


class ChartAndPalette(ToolTest):

    def test_chart_and_palette_at_named_paths(self):
        img = pictures.mixed()
        census = pictures.column_major_census(img)
        earlier = pictures.two_by_two().tobytes()
        for args in (["-o", "charts/c.bmp", "-p", "colours.gpl"],
                     ["--chart=charts/c.bmp", "--palette", "colours.gpl"]):
            with self.subTest(args=args):
                folder = self.work_folder(earlier_chart=earlier)
                (folder / "charts").mkdir()
                pictures.save(img, folder / "mixed.png")
                run = self.run_tool(folder, ["-n", "-q"] + args + ["mixed.png"], exit_timeout=15)
                self.assertClean(run, 0)
                self.assertOutput(run.stdout, pictures.listing(census), "stdout")
                self.assertEqual(run.stderr, b"", "expected nothing on stderr")
                self.assertChart(run.file("charts/c.bmp"), census)
                self.assertEqual(run.file("output.bmp"), earlier, "expected output.bmp left alone")
                header, entries = read_palette(run.file("colours.gpl"))
                self.assertEqual(header, ["GIMP Palette", "Name: mixed.png", "Columns: 16", "#"],
                                 "the palette's header")
                self.assertEqual([(r, g, b) for r, g, b, _, _ in entries], [c[:3] for c in census],
                                 "expected one palette entry per listed colour, in listing order")
                for (r, g, b, name, numbers), (_, _, _, count) in zip(entries, census):
                    self.assertEqual(numbers, "%3d %3d %3d" % (r, g, b), "R G B right-aligned in three columns")
                    self.assertEqual(name, "#%02x%02x%02x %d px" % (r, g, b, count), "the entry's name")
                with Image.open(folder / "charts/c.bmp") as chart:
                    self.assertEqual(chart.size, (185, 25 * len(entries)), "one band per palette entry")

    def test_palette_that_cannot_be_written(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "pic.png")
        run = self.run_tool(folder, ["-n", "-p", "no-such-folder/p.gpl", "pic.png"], exit_timeout=15)
        self.assertClean(run, 1)
        self.assertOutput(run.stderr, pictures.progress(2) + b"ERROR:  Unable to write palette: "
                          b"no-such-folder/p.gpl - No such file or directory \n", "stderr")
        self.assertOutput(run.stdout, pictures.listing(census) + TTF, "stdout")
        self.assertChart(run.file("output.bmp"), census)

    def test_double_dash_ends_options(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder()
        pictures.save(img, folder / "-name.png")
        run = self.run_tool(folder, ["-nq", "--", "-name.png"], exit_timeout=15)
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, pictures.listing(census), "stdout")
        self.assertChart(run.file("output.bmp"), census)


class FontFile(ToolTest):

    def test_fifo_as_font_does_not_block(self):
        img = pictures.two_by_two()
        census = pictures.column_major_census(img)
        folder = self.work_folder(font=False)
        os.mkfifo(folder / "Aaargh.ttf")
        pictures.save(img, folder / "pic.png")
        run = self.run_tool(folder, ["-n", "pic.png"], exit_timeout=10)
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, pictures.listing(census) + TTF + NO_FONT + NULL_FONT * len(census),
                          "stdout: the font failure, then a chart without text")
        self.assertChart(run.file("output.bmp"), census, with_text=False)

    def test_installed_copy_finds_its_font(self):
        build = EXE.parent
        if shutil.which("cmake") is None or not (build / "cmake_install.cmake").exists():
            self.skipTest("the executable's folder is not a CMake build tree")
        prefix = Path(tempfile.mkdtemp(dir=SCRATCH)) / "some prefix"
        self.addCleanup(shutil.rmtree, prefix.parent, ignore_errors=True)
        done = subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix)],
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, f"cmake --install failed: {done.stderr[-400:]!r}")
        for path in ("bin/ombrix", "share/ombrix/Aaargh.ttf", "share/man/man1/ombrix.1",
                     "share/doc/ombrix/LICENSE", "share/doc/ombrix/Aaargh.ttf.LICENSE.txt"):
            self.assertTrue((prefix / path).is_file(), f"expected {path} installed")

        img = pictures.mixed()
        census = pictures.column_major_census(img)
        folder = self.work_folder(font=False)
        pictures.save(img, folder / "mixed.png")
        run = harness.run_tool(prefix / "bin/ombrix", folder, ["-n", "mixed.png"], exit_timeout=15)
        self.assertClean(run, 0)
        self.assertOutput(run.stdout, pictures.listing(census) + TTF, "stdout: no font failure")
        self.assertChart(run.file("output.bmp"), census, with_text=True)
        # A font in the working folder still comes first: a FIFO there is refused
        # rather than passed over for the installed one.
        os.mkfifo(folder / "Aaargh.ttf")
        run = harness.run_tool(prefix / "bin/ombrix", folder, ["-n", "mixed.png"], exit_timeout=10)
        self.assertClean(run, 0)
        self.assertIn(NO_FONT, run.stdout, "expected the working folder's entry to decide")


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
